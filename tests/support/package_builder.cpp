#include "support/package_builder.h"

#include <gtest/gtest.h>
#include <zip.h>

#include "support/test_digests.h"

PackageBuilder& PackageBuilder::Add(std::string name, std::string content) {
    mMembers.emplace_back(std::move(name), std::move(content));
    return *this;
}

std::string PackageBuilder::AddContent(const std::string& content) {
    std::string name = Sha256Of(content);
    Add(name, content);
    return name;
}

void PackageBuilder::Write(const std::filesystem::path& path) const {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr) << "cannot create " << path << " (libzip error " << error << ")";
    for (const auto& [name, content] : mMembers) {
        zip_int64_t index = -1;
        if (name.ends_with('/')) {
            index = zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            // The contents live in this builder until zip_close has written them.
            zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
            index = source == nullptr ? -1
                                      : zip_file_add(archive, name.c_str(), source,
                                                     ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8);
            if (index < 0) {
                zip_source_free(source);
            } else if (mStored) {
                zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE,
                                         0);
            }
        }
        if (index < 0) {
            ADD_FAILURE() << "cannot add " << name << ": " << zip_strerror(archive);
        }
    }
    if (zip_close(archive) != 0) {
        ADD_FAILURE() << "cannot write " << path << ": " << zip_strerror(archive);
        zip_discard(archive);
    }
}
