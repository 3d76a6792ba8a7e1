// tarn_host: loads a device plug-in the way the monitoring host does and runs
// one device per configured inverter for a number of rounds, writing every
// call the devices make into the host to an events file.
//
//   options.*         the command line
//   config.*          the devices: configuration file or --address
//   outputs.*         the events file, the plug-in's output, the host's lines
//   plugin_session.*  dlopen, providers, devices, unloading
//   run.*             the rounds and the closing account
//   stop_signal.*     SIGINT and SIGTERM

#include <cstdio>
#include <exception>

#include "host_error.h"
#include "options.h"
#include "run.h"
#include "stop_signal.h"
#include "tarn_version.h"

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the mask.
  host::StopSignal::Block();
  try {
    const host::Options options = host::ParseOptions(argc, argv);
    if (options.help) {
      std::fputs(host::kUsage, stdout);
      return 0;
    }
    if (options.version) {
      std::printf("tarn_host %s\n", TARN_VERSION);
      return 0;
    }
    return host::Run(options);
  } catch (const host::BadInput& e) {
    std::fprintf(stderr, "host: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "host: %s\n", e.what());
    return 1;
  }
}
