// seed-usage-events: fills a table of the local store with generated usage events, for trying the
// report and for its screenshot. The account and endpoints come from the environment that
// scripts/local-store.sh writes.
#include <chrono>
#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "support/usage_seed.h"

int main(int argc, char** argv) {
    CLI::App app{"Fills a table of the local store with generated usage events.",
                 "seed-usage-events"};
    std::string table = "downloads";
    std::string until;
    int days = 30;
    std::size_t launches = 600;
    unsigned seed = 17;
    app.add_option("--table", table, "Table to fill (created when missing)")->capture_default_str();
    app.add_option("--until", until, "Last day, UTC, YYYY-MM-DD (default: today)");
    app.add_option("--days", days, "Number of days")
        ->capture_default_str()
        ->check(CLI::Range(1, 400));
    app.add_option("--launches", launches, "Number of launches")->capture_default_str();
    app.add_option("--seed", seed, "Seed of the generator")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    using namespace std::chrono;
    sys_days last = floor<std::chrono::days>(system_clock::now());
    if (!until.empty()) {
        unsigned y = 0, m = 0, d = 0;
        const bool read = std::sscanf(until.c_str(), "%4u-%2u-%2u", &y, &m, &d) == 3;
        const year_month_day date{year(static_cast<int>(y)), month(m), day(d)};
        if (!read || !date.ok()) {
            std::cerr << "seed-usage-events: --until must be YYYY-MM-DD\n";
            return 2;
        }
        last = sys_days(date);
    }
    const auto account = StoreAccountFromEnvironment();
    if (!account) {
        std::cerr << "seed-usage-events: set the local store's environment first\n";
        return 1;
    }
    if (const StoreResult created = BlobStoreClient(*account).CreateTable(table); !created.ok) {
        std::cerr << "seed-usage-events: creating the table failed: " << created.message << "\n";
        return 1;
    }
    const auto entities = SeedEntities(
        GenerateLaunches(seed, last - std::chrono::days(days - 1), days, launches, DemoReleases()));
    std::string error;
    if (!InsertEntities(TableAccess{account->table, account->name, account->key, ""}, table,
                        entities, &error)) {
        std::cerr << "seed-usage-events: " << error << "\n";
        return 1;
    }
    std::cout << "seed-usage-events: " << entities.size() << " events in the table \"" << table
              << "\"\n";
    return 0;
}
