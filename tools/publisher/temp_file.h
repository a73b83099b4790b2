#pragma once
// A fresh file in the temporary folder ($TMPDIR, else /tmp), deleted with its owner.
#include <filesystem>
#include <string>

class TempFile {
  public:
    // Throws PublisherError when no file can be created.
    explicit TempFile(const std::string& prefix);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::filesystem::path& Path() const { return mPath; }

  private:
    std::filesystem::path mPath;
};
