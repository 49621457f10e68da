// What the sandbox helper and the launcher say to each other over the helper's status pipe, and what the helper's
// exit status means when it ends without a word.
//
// The helper writes records, one a line, each a kind and its fields separated by tabs. Fields come from the
// sandbox (paths, reasons) and are written with their control bytes escaped, so a tab or newline in a path can
// neither split a field nor forge a record:
//     step      <what the helper does now>            before each step that may take a while
//     note      <text>                                something the launcher logs as it is
//     launching <compatdata> <proton dir> <wine> <prefix> <exe>   the program's place, found inside the sandbox
//     fail      <what> <detail>                       nothing started: what is one of the kJoinFail* words
//     started                                         written just before the exec of the wine loader
// A start is "started" followed by the end of the pipe with nothing after it: a failed exec writes its own fail
// record after "started". The program is the companion or the window watcher, as the launcher asked (--program);
// the records are the same for both, but for "fail no-wineserver <prefix>", which only a watcher's start ends with:
// no wineserver serves the game's prefix, as seen inside, and a watcher would start a second one.
#ifndef CS_LAUNCH_JOIN_PROTOCOL_H
#define CS_LAUNCH_JOIN_PROTOCOL_H

#include <string_view>

namespace cs {

inline constexpr std::string_view kJoinStep = "step";
inline constexpr std::string_view kJoinNote = "note";
inline constexpr std::string_view kJoinLaunching = "launching";
inline constexpr std::string_view kJoinFail = "fail";
inline constexpr std::string_view kJoinStarted = "started";

// The fail record's first field; the second is the path that is missing, or "<step>: <reason>" for kJoinFailStep.
inline constexpr std::string_view kJoinFailNoContext = "no-context";
inline constexpr std::string_view kJoinFailCompatData = "compatdata";
inline constexpr std::string_view kJoinFailPrefix = "prefix";
inline constexpr std::string_view kJoinFailWine = "wine";
inline constexpr std::string_view kJoinFailWineserver = "no-wineserver";
inline constexpr std::string_view kJoinFailStep = "step";

// The helper's own exit statuses, clear of the small ones that wine and Windows programs end with. The helper's
// status is its program's once the program runs.
enum JoinExitStatus : int {
  kJoinUsage = 110,
  kJoinUserNamespace = 111,
  kJoinPidNamespace = 112,
  kJoinMountNamespace = 113,
  kJoinInnerUserNamespace = 114,
  kJoinFork = 115,
  kJoinPrivateDir = 116,
  kJoinCopy = 117,
  kJoinCapabilities = 118,
  kJoinExec = 119,
  kJoinEnvironment = 120,
  kJoinSeal = 121,
  kJoinContext = 122,
  kJoinNoWineserver = 123,
};

// Returns the step an exit status of the helper names, for a helper that ended without saying why; empty for a
// status that is none of the helper's own.
constexpr std::string_view joinStepOfExitStatus(int status) {
  switch (status) {
    case kJoinUsage:
      return "reading the helper's arguments";
    case kJoinUserNamespace:
      return "entering the sandbox's user namespace";
    case kJoinPidNamespace:
      return "entering the game's pid namespace";
    case kJoinMountNamespace:
      return "entering the game's mount namespace";
    case kJoinInnerUserNamespace:
      return "entering the game's own user namespace";
    case kJoinFork:
      return "forking into the game's pid namespace";
    case kJoinPrivateDir:
      return "making a private directory in the game's /tmp";
    case kJoinCopy:
      return "copying the program into the game's /tmp";
    case kJoinCapabilities:
      return "dropping the capabilities";
    case kJoinExec:
      return "starting the game's wine loader";
    case kJoinEnvironment:
      return "reading the program's environment";
    case kJoinSeal:
      return "sealing a copy of the program";
    case kJoinContext:
      return "looking up the game's Steam files";
    case kJoinNoWineserver:
      return "waiting for the game's wineserver";
    default:
      return {};
  }
}

}  // namespace cs

#endif  // CS_LAUNCH_JOIN_PROTOCOL_H
