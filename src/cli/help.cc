#include "cli/help.h"

#include <array>
#include <utility>

namespace zefra::client {
namespace {

constexpr char kGeneral[] =
    "usage: zefra-helper-client [--service NAME] COMMAND [ARG...]\n"
    "       zefra-helper-client COMMAND --help\n"
    "\n"
    "Talks to the running Zefra Helper.\n"
    "\n"
    "commands:\n"
    "  ping                 print the helper's version\n"
    "  tools [--json]       list the installed tools: tool, version, path\n"
    "  run [OPTION...] TOOL [ARG...]\n"
    "                       run TOOL in this directory; its output becomes ours as\n"
    "                       it comes, its status our exit status; Ctrl-C cancels it\n"
    "  cancel RUNID         send a cancel for RUNID (see cancel --help)\n"
    "  prepare-for-update   take the helper out of service (it exits shortly)\n"
    "  install-update ZIP   install a signed update; prints the helper's answer\n"
    "\n"
    "options:\n"
    "  --service NAME       group.com.ovak.zefra.helper (the default) or\n"
    "                       K4T9QZ2M7B.com.ovak.zefra.helper\n"
    "  -h, --help           this text; COMMAND --help describes one command\n"
    "\n"
    "environment:\n"
    "  ZEFRA_RUNTIME_DIR    the directory of the helper's sockets; without it\n"
    "                       $XDG_RUNTIME_DIR, else /tmp/zefra-helper-UID. The helper\n"
    "                       and the client must agree (scripts/run prints its value).\n"
    "\n"
    "exit status:\n"
    "  0    done; for run, the tool's own status (a signal's number when a\n"
    "       signal ended it: 15 after a cancel)\n"
    "  1    the helper answered NO (prepare-for-update, install-update)\n"
    "  64   the command line is wrong\n"
    "  65   an argument is not valid UTF-8: the helper takes text only\n"
    "  66   the input cannot be opened, or the call is larger than the\n"
    "       helper's limit of 64 MiB\n"
    "  69   the helper cannot be reached: it is not running, serves another\n"
    "       runtime directory, or the connection was lost\n"
    "  74   the input could not be read to its end (nothing was run), or our\n"
    "       output could not be written in full (a full disk): for run,\n"
    "       whatever the tool's status\n"
    "  77   the helper refused this client: it serves only programs signed by\n"
    "       the maker's team; or what serves the path runs as another user, and\n"
    "       nothing was sent to it\n"
    "  124  run: --timeout ended the tool\n"
    "  126  run: the helper could not launch the tool, or could not confine it\n"
    "       as --confine or --no-network asked\n"
    "  127  run: the tool is not installed or not in the helper's catalogue\n";

constexpr std::array kCommands = {
    std::pair{"ping",
              "usage: zefra-helper-client ping\n"
              "\n"
              "Prints the helper's version (its bundle's short version string).\n"},
    std::pair{"tools",
              "usage: zefra-helper-client tools [--json]\n"
              "\n"
              "Lists the catalogued tools the helper finds: tool, version, path.\n"
              "  --json   print the helper's reply dictionary as JSON instead\n"},
    std::pair{"run",
              "usage: zefra-helper-client run [OPTION...] [--] TOOL [ARG...]\n"
              "\n"
              "Runs TOOL through the helper and waits for it. The tool's standard\n"
              "output and error become ours as the tool writes them, and its status\n"
              "our exit status (a signal's number when a signal ended it). Ctrl-C\n"
              "asks the helper to cancel the run, which ends the tool's whole process\n"
              "tree; the run's end still comes and is reported. Should none come\n"
              "within 3 seconds, or a second Ctrl-C arrive, the client ends at once,\n"
              "as the signal would have ended it. The run ends with the client, even\n"
              "when the client is killed.\n"
              "\n"
              "options (before TOOL; everything after TOOL goes to the tool):\n"
              "  --id RUNID         the run's name (default: a fresh UUID)\n"
              "  --cwd DIR          the tool's working directory, relative to ours\n"
              "                     (default: our own working directory)\n"
              "  --helper-cwd       send no working directory: the tool starts in the\n"
              "                     helper's own\n"
              "  --env NAME=VALUE   add to the tool's environment (repeatable)\n"
              "  --input FILE       send FILE, read by us, as the tool's standard input;\n"
              "                     - sends our standard input. Without --input the\n"
              "                     tool gets none. Input and arguments together must\n"
              "                     stay within the helper's limit of 64 MiB per call.\n"
              "  --timeout SECONDS  end the tool's whole process tree after SECONDS\n"
              "                     (SIGTERM, SIGKILL 2 s later); exit 124 then\n"
              "  --output-limit BYTES\n"
              "                     pass on at most BYTES of each of the tool's outputs;\n"
              "                     the rest is dropped, and a note on standard error\n"
              "                     says so\n"
              "  --confine DIR      let the tool write only beneath DIR (repeatable) and\n"
              "                     a temporary folder of its own, its TMPDIR, removed\n"
              "                     after the run; reading stays as ours. A system that\n"
              "                     cannot confine it refuses the run (exit 126)\n"
              "  --no-network       keep the tool from TCP connections (connect, bind);\n"
              "                     refused (exit 126) where the system cannot\n"},
    std::pair{"cancel",
              "usage: zefra-helper-client cancel RUNID\n"
              "\n"
              "Sends a cancel for RUNID on a connection of its own. Runs belong to\n"
              "the connection that started them, so this ends no run of another\n"
              "client or host: it only shows that the helper takes the call. To stop\n"
              "a run started by `run`, interrupt that client (Ctrl-C).\n"},
    std::pair{"prepare-for-update",
              "usage: zefra-helper-client prepare-for-update\n"
              "\n"
              "Asks the helper to leave service before an update: it unregisters its\n"
              "agent, answers YES and exits shortly after. Exit 0 for YES, 1 for NO.\n"},
    std::pair{"install-update",
              "usage: zefra-helper-client install-update ZIP\n"
              "\n"
              "Asks the helper to replace itself with the signed bundle in ZIP\n"
              "(a path relative to ours). Prints the helper's message; exit 0 when it\n"
              "answered YES (it then exits shortly), 1 for NO.\n"},
};

}  // namespace

std::string_view generalHelp() {
  return kGeneral;
}

std::optional<std::string_view> commandHelp(std::string_view command) {
  for (const auto& [name, text] : kCommands) {
    if (command == name) return text;
  }
  return std::nullopt;
}

bool isHelpOption(std::string_view argument) {
  return argument == "-h" || argument == "--help";
}

}  // namespace zefra::client
