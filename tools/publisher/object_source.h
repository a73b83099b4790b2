#pragma once
// Where verify reads a product's published objects from: the blob store, anonymously and through
// the launcher's own index retrieval and HTTP client, or a local staging folder (for a review
// before anything goes online).
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "catalogue/release_index.h"
#include "core/endpoints.h"

// Receives an object's bytes. A transfer that is retried starts over with Restart.
class ObjectSink {
  public:
    virtual ~ObjectSink() = default;
    virtual void Restart() = 0;
    virtual void Write(const char* data, std::size_t length) = 0;
};

class ObjectSource {
  public:
    virtual ~ObjectSource() = default;
    virtual std::string Describe() const = 0;
    // The product's index; null when it cannot be read or is no valid JSON (then error says why).
    virtual ProductCatalog ReadIndex(const std::string& product, std::string& error) = 0;
    // A whole object ("container/name"); false when it cannot be read.
    virtual bool ReadText(const std::string& objectPath, std::string& out) = 0;
    virtual bool Stream(const std::string& objectPath, ObjectSink& sink) = 0;
};

// Reads from the blob store at endpoint (it becomes the process's DownloadHost).
std::unique_ptr<ObjectSource> MakeStoreSource(const Endpoint& endpoint);
std::unique_ptr<ObjectSource> MakeStagingSource(const std::filesystem::path& staging);
