#pragma once
// The order of one launch: index, version dialog, version check, "begin", download, "success",
// installation or mount.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/release_index.h"
#include "core/launcher_version.h"
#include "core/product_identity.h"

// The stations of a launch. The defaults are the real operations; tests replace single stations.
class UnpackStage;

class LaunchStations {
  public:
    virtual ~LaunchStations() = default;
    // The release index; with trusted keys only one that a key verifies (else it throws
    // DownloadException, see FetchTrustedIndex).
    virtual ProductCatalog FetchIndex(const std::u16string& product, std::string& error);
    // The public keys trusted to sign release indexes: the build's list.
    virtual std::vector<std::string> IndexKeys();
    virtual SetupSelection SelectRelease(const ProductCatalog& catalog, const std::string& product);
    virtual void SendUsageEvent(const std::u16string& product, const std::string& version,
                                const std::string& action, const std::string& duration,
                                std::uint32_t launcherVersion);
    virtual SetupSelection DownloadArchive(SetupSelection selection);
    virtual SetupSelection DownloadImage(SetupSelection selection);
    virtual void InstallArchive(SetupSelection selection);
    virtual void MountIsoAndOpen(SetupSelection selection);

  private:
    // The unpacking that runs beside an "arc" download, handed from the download to the install
    // (and gone, with its staging folder, when the download fails).
    std::shared_ptr<UnpackStage> mStage;
};

// Throws DownloadException naming the product and the value when a release key or file name from
// the index could reach outside its folder (empty, "." or "..", or holding "/", "\", ":" or NUL).
void RefuseUnsafeSelection(const SetupSelection& selection, const std::string& product);

// Fetches the index with the given trusted keys (none: unsigned, as the store serves it). Throws
// DownloadException saying so when the keys are not empty and none verifies the index; that
// happens before anything is shown, downloaded or reported.
ProductCatalog FetchTrustedIndex(const std::u16string& product, std::string& error,
                                 const std::vector<std::string>& trustedKeys);

void RunLauncher(const std::u16string& product, LaunchStations& stations);
SetupSelection DownloadSetup(const std::u16string& product, LaunchStations& stations);

// The entry's handler around one launch: a cancel ends silently, any other failure (also one not
// derived from std::exception) ends in the message box. Always returns 0. The product is
// determined inside the handler.
int RunLaunchAndReport(LaunchStations& stations,
                       std::u16string (*determineProduct)() = DetermineProduct);
