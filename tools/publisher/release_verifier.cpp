#include "tools/publisher/release_verifier.h"

#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "catalogue/release_selection.h"
#include "core/file_system.h"
#include "core/launcher_version.h"
#include "tools/publisher/edition_check.h"
#include "tools/publisher/progress_bar.h"
#include "tools/publisher/publication_names.h"
#include "tools/publisher/quoted.h"

namespace {

// The launcher refuses a release key or file name that could leave its folder.
bool LauncherRefusesName(const std::string& name) {
    return !IsPlainFileName(name);
}

// The index as the launcher reads it; nothing when it is unreadable or no JSON object.
std::optional<ProductCatalog> ReadCatalog(ObjectSource& source, const std::string& product,
                                          VerifyReport& report) {
    std::string error;
    ProductCatalog catalog = source.ReadIndex(product, error);
    if (catalog.IsNull()) {
        report.problems.push_back("the index " + report.index + " " +
                                  (error == "cannot be read" ? "cannot be read (missing object?)"
                                                             : "is not valid JSON: " + error));
        return std::nullopt;
    }
    if (!catalog.IsObject()) {
        report.problems.push_back("the index is not a JSON object");
        return std::nullopt;
    }
    return catalog;
}

// The index's own members: its releases, the current one and whether others are offered.
void CheckIndexMembers(const ProductCatalog& catalog, VerifyReport& report) {
    report.current = catalog["current_release"].String();
    if (catalog["releases"].Members().empty()) {
        report.problems.push_back("the index lists no releases");
    }
    if (report.current.empty()) {
        report.problems.push_back("the index has no \"current_release\"");
    } else if (catalog["releases"][report.current].IsNull()) {
        report.problems.push_back("\"current_release\" " + Quoted(report.current) +
                                  " is not a release of the index");
    }
    if (!catalog["forbid_release_selection"].IsNull()) {
        report.notes.push_back(
            "\"forbid_release_selection\" is set: only the current release "
            "is offered");
    }
}

std::set<std::string> OfferedKeys(const ProductCatalog& catalog) {
    std::set<std::string> offered;
    for (const ReleaseChoice& choice : OfferedReleases(catalog)) {
        offered.insert(choice.key);
    }
    return offered;
}

// The release key, and whether the launcher lists the release in its selection.
void CheckReleaseKey(const std::string& key, const ProductCatalog& catalog,
                     const std::set<std::string>& offered, EditionReport& base) {
    if (LauncherRefusesName(key)) {
        base.problems.push_back("the launcher refuses the release key " + Quoted(key));
    } else if (!IsValidReleaseKey(key)) {
        base.notes.push_back("the release key is not decimal numbers separated by dots");
    }
    if (offered.count(key) == 0 && catalog["forbid_release_selection"].IsNull()) {
        base.notes.push_back(
            "not offered: its version number is not below the current "
            "release's");
    }
}

// The members every edition of the release shares.
void CheckReleaseMembers(const JsonValue& release, EditionReport& base) {
    const std::string filetype = release["filetype"].String();
    if (filetype != "" && filetype != "arc" && filetype != "iso") {
        base.problems.push_back("\"filetype\" " + Quoted(filetype) +
                                " is neither \"arc\" nor \"iso\"");
    }
    if (release["required_setup"].Number() > LauncherVersion) {
        base.notes.push_back("launchers of version " + std::to_string(LauncherVersion) +
                             " refuse it (\"required_setup\" " +
                             std::to_string(release["required_setup"].Number()) + ")");
    }
    if (release["release"].String().empty()) {
        base.notes.push_back("no display text (\"release\")");
    }
    const std::string container = release["containername"].String();
    if (!IsValidContainerName(container)) {
        base.problems.push_back("\"containername\" " + Quoted(container) +
                                " is not a usable container name");
    }
}

// The release's files: one per language edition, else the release's own, keyed "".
std::vector<std::pair<std::string, JsonValue>> FilesOfRelease(const JsonValue& release) {
    auto languages = release["languages"].Members();
    if (languages.empty()) {
        languages.emplace_back("", release);
    }
    return languages;
}

// One file of the release, reported on the release's findings; its objects are read only when
// the release key and container are usable.
EditionReport VerifyEdition(ObjectSource& source, const std::string& container,
                            const std::string& language, const JsonValue& edition,
                            const EditionReport& base, bool checkable) {
    EditionReport report = base;
    report.language = language;
    if (!language.empty() && !IsValidLanguageCode(language)) {
        report.notes.push_back("the language " + Quoted(language) +
                               " is not a locale name like de-DE");
    }
    if (!edition.IsObject()) {
        report.problems.push_back("the language edition is not a JSON object");
    } else if (checkable) {
        CheckEdition(source, container, edition, report);
    }
    return report;
}

void VerifyRelease(ObjectSource& source, const ProductCatalog& catalog,
                   const std::set<std::string>& offered, const std::string& key,
                   const JsonValue& release, VerifyReport& report) {
    EditionReport base;
    base.release = key;
    const std::string filetype = release["filetype"].String();
    base.filetype = filetype.empty() ? "arc" : filetype;
    CheckReleaseKey(key, catalog, offered, base);
    if (!release.IsObject()) {
        base.problems.push_back("the release is not a JSON object");
        report.editions.push_back(std::move(base));
        return;
    }
    CheckReleaseMembers(release, base);
    const std::string container = release["containername"].String();
    const bool checkable = !LauncherRefusesName(key) && IsValidContainerName(container);
    for (const auto& [language, edition] : FilesOfRelease(release)) {
        report.editions.push_back(
            VerifyEdition(source, container, language, edition, base, checkable));
    }
}

// Problems first, then notes, each on its own indented line below what they concern.
void PrintFindings(const std::vector<std::string>& problems, const std::vector<std::string>& notes,
                   std::ostream& out) {
    for (const std::string& problem : problems) {
        out << "  FAULT: " << problem << "\n";
    }
    for (const std::string& note : notes) {
        out << "  note: " << note << "\n";
    }
}

// One line per edition: what was checked and, without problems, how much of it.
void PrintEdition(const EditionReport& edition, std::ostream& out) {
    out << edition.release;
    if (!edition.language.empty()) {
        out << " " << edition.language;
    }
    out << " (" << edition.filetype << ")";
    if (!edition.object.empty()) {
        out << " " << edition.object;
    }
    if (edition.problems.empty()) {
        out << ": ok, " << Counted(edition.size, "byte") << ", "
            << Counted(edition.blocks, "block");
        if (edition.filetype != "iso") {
            out << ", " << Counted(edition.members, "content");
        }
    }
    out << "\n";
    PrintFindings(edition.problems, edition.notes, out);
}

}  // namespace

std::size_t VerifyReport::ProblemCount() const {
    std::size_t count = problems.size();
    for (const EditionReport& edition : editions) {
        count += edition.problems.size();
    }
    return count;
}

VerifyReport VerifyProduct(ObjectSource& source, const std::string& product) {
    VerifyReport report;
    report.source = source.Describe();
    report.index = IndexObjectPath(product);
    const auto catalog = ReadCatalog(source, product, report);
    if (!catalog) {
        return report;
    }
    CheckIndexMembers(*catalog, report);
    const std::set<std::string> offered = OfferedKeys(*catalog);
    for (const auto& [key, release] : (*catalog)["releases"].Members()) {
        VerifyRelease(source, *catalog, offered, key, release, report);
    }
    return report;
}

void PrintReport(const VerifyReport& report, std::ostream& out) {
    out << "Index " << report.index << " on " << report.source;
    if (!report.current.empty()) {
        out << ", current release " << report.current;
    }
    out << "\n";
    PrintFindings(report.problems, report.notes, out);
    for (const EditionReport& edition : report.editions) {
        PrintEdition(edition, out);
    }
    const std::size_t problems = report.ProblemCount();
    if (problems == 0) {
        out << "All " << Counted(report.editions.size(), "edition") << " verified.\n";
    } else {
        out << Counted(problems, "problem") << " found.\n";
    }
}
