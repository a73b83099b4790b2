#pragma once
// Builds small "arc" packages (zip files) for tests: members by name, content members named by
// their SHA-256, and the two descriptors.
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/test_digests.h"

class PackageBuilder {
  public:
    // A member with the given stored name ("dir/" adds a folder entry).
    PackageBuilder& Add(std::string name, std::string content);
    // A content member stored under the SHA-256 of its content; returns that name.
    std::string AddContent(const std::string& content);
    PackageBuilder& ArcInfo(std::string json) { return Add("arcinfo.json", std::move(json)); }
    PackageBuilder& ArcConfig(std::string json) { return Add("arcconfig.json", std::move(json)); }
    // Members are stored uncompressed instead of deflated.
    PackageBuilder& Stored() {
        mStored = true;
        return *this;
    }

    // The end records as a package over 4 GiB has them: a ZIP64 end record and its locator, with
    // the classic end record's counts, size and offset saturated.
    PackageBuilder& Zip64End() {
        mZip64End = true;
        return *this;
    }

    // Writes the package; a failure of libzip fails the calling test.
    void Write(const std::filesystem::path& path) const;

  private:
    std::vector<std::pair<std::string, std::string>> mMembers;
    bool mStored = false;
    bool mZip64End = false;
};
