#pragma once
// The order of one launch: index, version dialog, version check, "begin", download, "success",
// installation or mount.
#include <cstdint>
#include <string>

#include "catalogue/release_index.h"
#include "core/launcher_version.h"
#include "core/product_identity.h"

// The stations of a launch. The defaults are the real operations; tests replace single stations.
class LaunchStations {
  public:
    virtual ~LaunchStations() = default;
    virtual ProductCatalog FetchIndex(const std::u16string& product, std::string& error);
    virtual SetupSelection SelectRelease(const ProductCatalog& catalog, const std::string& product);
    virtual void SendUsageEvent(const std::u16string& product, const std::string& version,
                                const std::string& action, const std::string& duration,
                                std::uint32_t launcherVersion);
    virtual SetupSelection DownloadArchive(SetupSelection selection);
    virtual SetupSelection DownloadImage(SetupSelection selection);
    virtual void InstallArchive(SetupSelection selection);
    virtual void MountIsoAndOpen(SetupSelection selection);
};

// Throws DownloadException naming the product and the value when a release key or file name from
// the index could reach outside its folder (empty, "." or "..", or holding "/", "\", ":" or NUL).
void RefuseUnsafeSelection(const SetupSelection& selection, const std::string& product);

void RunLauncher(const std::u16string& product, LaunchStations& stations);
SetupSelection DownloadSetup(const std::u16string& product, LaunchStations& stations);

// The entry's handler around one launch: a cancel ends silently, any other failure (also one not
// derived from std::exception) ends in the message box. Always returns 0. The product is
// determined inside the handler.
int RunLaunchAndReport(LaunchStations& stations,
                       std::u16string (*determineProduct)() = DetermineProduct);
