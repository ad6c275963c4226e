// varnel-board --from-nats in a build without the NATS client library.
#include <string_view>

#include "board/NatsServe.hpp"
#include "common/CommandLine.hpp"

namespace boardnats {

std::optional<int> serveIfAsked(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]).substr(0, 11) == "--from-nats") {
      return cli::usageFailure("varnel-board",
                               "--from-nats: this build of varnel-board has no NATS (built without libnats)");
    }
  }
  return std::nullopt;
}

}  // namespace boardnats
