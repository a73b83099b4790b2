// The POSIX entry: no command-line options; one launch; exit code 0 in every case.
#include "app/launch_flow.h"

int main() {
    LaunchStations stations;
    return RunLaunchAndReport(stations);
}
