#include "update/update_settings.h"

#include "platform/agent_service.h"
#include "platform/bundle.h"
#include "platform/file_moves.h"
#include "platform/process_exit.h"
#include "platform/user_defaults.h"

namespace zefra::update {

UpdateSettings defaultUpdateSettings() {
  UpdateSettings settings;
  settings.temporaryDirectory = platform::temporaryDirectory();
  const auto& bundle = platform::Bundle::main();
  settings.bundlePath = bundle.bundlePath();
  settings.runningFromBundle = bundle.isAppBundle();
  settings.defaults = &platform::UserDefaults::standard();
  settings.unregisterAgent = [] { platform::unregisterAgentIgnoringErrors(); };
  settings.endProcess = [] { platform::exitProcess(0); };
  return settings;
}

}  // namespace zefra::update
