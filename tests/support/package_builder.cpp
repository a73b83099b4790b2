#include "support/package_builder.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cstdint>

#include "support/test_digests.h"
#include "support/test_environment.h"

namespace {
std::uint64_t ReadLittle(const std::string& bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    }
    return value;
}

void PutLittle(std::string& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

// Replaces the classic end record that libzip wrote (no comment) by a ZIP64 end record, its
// locator and a classic record whose fields point to them.
void RewriteEndAsZip64(const std::filesystem::path& path) {
    std::string bytes = ReadFileBytes(path);
    constexpr std::size_t kEndLength = 22;
    ASSERT_GE(bytes.size(), kEndLength);
    const std::size_t end = bytes.size() - kEndLength;
    ASSERT_EQ(ReadLittle(bytes, end, 4), 0x06054b50u) << "libzip wrote a comment or no end record";
    const std::uint64_t entries = ReadLittle(bytes, end + 10, 2);
    const std::uint64_t directorySize = ReadLittle(bytes, end + 12, 4);
    const std::uint64_t directoryOffset = ReadLittle(bytes, end + 16, 4);
    bytes.resize(end);

    PutLittle(bytes, 0x06064b50, 4);  // ZIP64 end record
    PutLittle(bytes, 44, 8);          // its size after this field
    PutLittle(bytes, 45, 2);          // made by
    PutLittle(bytes, 45, 2);          // needed
    PutLittle(bytes, 0, 4);           // this disk
    PutLittle(bytes, 0, 4);           // the directory's disk
    PutLittle(bytes, entries, 8);
    PutLittle(bytes, entries, 8);
    PutLittle(bytes, directorySize, 8);
    PutLittle(bytes, directoryOffset, 8);
    PutLittle(bytes, 0x07064b50, 4);  // locator
    PutLittle(bytes, 0, 4);
    PutLittle(bytes, end, 8);  // where the ZIP64 end record begins
    PutLittle(bytes, 1, 4);    // disks
    PutLittle(bytes, 0x06054b50, 4);
    PutLittle(bytes, 0, 2);
    PutLittle(bytes, 0, 2);
    PutLittle(bytes, 0xFFFF, 2);
    PutLittle(bytes, 0xFFFF, 2);
    PutLittle(bytes, 0xFFFFFFFF, 4);
    PutLittle(bytes, 0xFFFFFFFF, 4);
    PutLittle(bytes, 0, 2);  // no comment
    WriteFileBytes(path, bytes);
}
}  // namespace

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
        return;
    }
    if (mZip64End) {
        RewriteEndAsZip64(path);
    }
}
