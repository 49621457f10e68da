#include "tests/support/steam_desktop.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/support/session_bus.h"

namespace cs::test {

namespace {

namespace fs = std::filesystem;

bool isTimestamp(const std::string& line) {
  if (line.size() < 20) return false;
  static const std::string shape = "dddd-dd-dd dd:dd:dd ";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const char c = line[i];
    if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) return false;
  }
  return true;
}

std::vector<std::string> splitNul(const std::string& bytes) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    items.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

}  // namespace

std::vector<std::string> messages(const std::vector<LogLine>& lines) {
  std::vector<std::string> result;
  for (const auto& line : lines) result.push_back(line.message);
  return result;
}

std::vector<std::string> SteamDesktop::baseEnvironment() {
  return {"PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8"};
}

SteamDesktop::SteamDesktop(std::string displayName, std::string bus, std::optional<TestUser> owner)
    : tmp(owner ? fs::path("/var/tmp") : fs::temp_directory_path()),
      user(owner),
      display(std::move(displayName)),
      busAddress(std::move(bus)) {
  std::error_code ec;
  fs::create_directories(steamRoot() / "steamapps/common", ec);
  fs::create_directories(steamRoot() / "steamapps/compatdata", ec);
  fs::create_directories(launcherDir(), ec);
  if (user) fs::copy_file(fakeProcessBinary(), fakeProcess(), fs::copy_options::overwrite_existing, ec);
  // Steam's own executable, which makes a launch Steam's.
  fs::create_directories(reaper().parent_path(), ec);
  fs::copy_file(fakeProcessBinary(), reaper(), fs::copy_options::overwrite_existing, ec);
}

fs::path SteamDesktop::fakeProcess() const { return user ? root() / "fake_process" : fakeProcessBinary(); }

SteamDesktop::~SteamDesktop() {
  // The launcher first, so that it sees no game vanish; then every process started here. Companions are the
  // launcher's children (or orphans after it ended): let them all end.
  launcherProcess.reset();
  for (const pid_t pid : launchChildren) kill(pid, SIGKILL);
  processes.clear();
  for (const auto& dir : protonDirs) writeFile(wineRecordDir(dir) / "wine.exit", "");
}

fs::path SteamDesktop::installProton(const std::string& name, const fs::path& library) {
  const fs::path lib = library.empty() ? steamRoot() : library;
  const fs::path dir = lib / "steamapps/common" / name;
  std::error_code ec;
  fs::create_directories(dir / "files/bin", ec);
  fs::copy_file(fakeProcessBinary(), dir / "files/bin/wine", fs::copy_options::overwrite_existing, ec);
  writeFile(dir / "proton", "#!/usr/bin/env python3\n");
  protonDirs.push_back(dir);
  return dir;
}

fs::path SteamDesktop::compatDataPath(const std::string& appId, const fs::path& library) const {
  return (library.empty() ? steamRoot() : library) / "steamapps/compatdata" / appId;
}

fs::path SteamDesktop::makeCompatData(const std::string& appId, bool withPrefix, const fs::path& library) {
  const fs::path compat = compatDataPath(appId, library);
  std::error_code ec;
  fs::create_directories(withPrefix ? compat / "pfx" : compat, ec);
  return compat;
}

std::vector<std::string> SteamDesktop::protonEnvironment(const std::string& appId, const fs::path& protonDir,
                                                         const fs::path& library) const {
  (void)protonDir;
  const fs::path compat = compatDataPath(appId, library);
  std::vector<std::string> env = baseEnvironment();
  env.push_back("SteamAppId=" + appId);
  env.push_back("SteamGameId=" + appId);
  env.push_back("STEAM_COMPAT_DATA_PATH=" + compat.string());
  env.push_back("WINEPREFIX=" + (compat / "pfx").string());
  env.push_back("STEAM_COMPAT_CLIENT_INSTALL_PATH=" + (library.empty() ? steamRoot() : library).string());
  env.push_back("WINEESYNC=1");
  env.push_back("WINEFSYNC=1");
  return env;
}

fs::path SteamDesktop::prepareEnvironment(std::vector<std::string>& env, bool waitReady) {
  const fs::path ready = root() / ("ready-" + std::to_string(++readyCounter));
  if (waitReady) env.push_back("FAKE_READY_FILE=" + ready.string());
  // A process given a DISPLAY of its own shows its windows there (a game inside gamescope).
  const bool ownDisplay =
      std::any_of(env.begin(), env.end(), [](const auto& v) { return v.rfind("DISPLAY=", 0) == 0; });
  if (!display.empty() && !ownDisplay) env.push_back("DISPLAY=" + display);
  return waitReady ? ready : fs::path();
}

pid_t SteamDesktop::startProcess(const std::vector<std::string>& argv, std::vector<std::string> env, bool waitReady,
                                 const fs::path& program) {
  const fs::path ready = prepareEnvironment(env, waitReady);
  std::vector<std::string> command = argv;
  fs::path executable = program.empty() ? fakeProcess() : program;
  if (user) giveTo(*user, root());
  // The reaper is a copy of the stand-in, and runs as the user as the stand-in does.
  if (user && (program.empty() || program == reaper())) {
    // setpriv runs the stand-in as the user, with its own path as argv[0].
    command.front() = executable.string();
    command = asUser(*user, command);
    executable = command.front();
  }
  auto process = std::make_unique<Subprocess>(Subprocess::Options{.program = executable,
                                                                  .argv = command,
                                                                  .env = env,
                                                                  .output = root() / "processes.log",
                                                                  .workingDir = std::nullopt});
  const pid_t pid = process->pid();
  processes.emplace(pid, std::move(process));
  if (waitReady) waitUntil([&] { return fs::exists(ready); });
  return pid;
}

pid_t SteamDesktop::startInLaunch(const std::string& appId, const std::vector<std::string>& argv,
                                  std::vector<std::string> env, bool waitReady, const fs::path& program) {
  const auto launch = std::find_if(launches.rbegin(), launches.rend(), [&](const Launch& l) {
    return l.appId == appId && processes.contains(l.pid) && kill(l.pid, 0) == 0;
  });
  if (launch == launches.rend()) return startProcess(argv, std::move(env), waitReady);
  const fs::path ready = prepareEnvironment(env, waitReady);
  // Dies with its launch, as a game's processes end when Steam's reaper is stopped.
  env.push_back("FAKE_DIE_WITH_PARENT=1");
  std::string request = (program.empty() ? fakeProcess() : program).string() + '\0' + std::to_string(argv.size()) + '\0';
  for (const std::string& arg : argv) request.append(arg).push_back('\0');
  for (const std::string& entry : env) request.append(entry).push_back('\0');
  const std::string name = "spawn-" + std::to_string(++readyCounter);
  writeFile(launch->spawnDir / (name + ".tmp"), request);
  fs::rename(launch->spawnDir / (name + ".tmp"), launch->spawnDir / (name + ".req"));
  const fs::path pidFile = launch->spawnDir / (name + ".pid");
  waitUntil([&] { return fs::exists(pidFile); });
  const pid_t pid = static_cast<pid_t>(std::atoi(slurp(pidFile).c_str()));
  if (pid > 0) launchChildren.push_back(pid);
  if (waitReady) waitUntil([&] { return fs::exists(ready); });
  return pid;
}

pid_t SteamDesktop::startSteamLaunch(const std::string& appId, const fs::path& protonDir,
                                     const std::vector<std::string>& env, const std::vector<std::string>& wrapper) {
  std::vector<std::string> argv = {
      (steamRoot() / "ubuntu12_32/reaper").string(),
      "SteamLaunch",
      "AppId=" + appId,
      "--",
      (steamRoot() / "steamapps/common/SteamLinuxRuntime_sniper/_v2-entry-point").string(),
      "--verb=waitforexitandrun",
      "--",
      (protonDir / "proton").string(),
      "waitforexitandrun",
      "/g/game.exe"};
  std::vector<std::string> fullEnv = baseEnvironment();
  fullEnv.insert(fullEnv.end(), env.begin(), env.end());
  const fs::path spawnDir = root() / ("launch-" + std::to_string(++readyCounter));
  std::error_code ec;
  fs::create_directories(spawnDir, ec);
  fullEnv.push_back("FAKE_SPAWN_DIR=" + spawnDir.string());
  if (!wrapper.empty()) {
    argv.front() = fakeProcess().string();
    argv.insert(argv.begin(), wrapper.begin(), wrapper.end());
  }
  const pid_t pid = startProcess(argv, fullEnv, false, wrapper.empty() ? reaper() : fs::path(wrapper.front()));
  launches.push_back({appId, pid, spawnDir});
  return pid;
}

pid_t SteamDesktop::startGame(const std::string& appId, const fs::path& protonDir, const std::string& title,
                              std::vector<std::string> extraEnv) {
  std::vector<std::string> env = protonEnvironment(appId, protonDir);
  if (!title.empty()) env.push_back("FAKE_WINDOW_TITLE=" + title);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  return startInLaunch(appId, {"python3", (protonDir / "proton").string(), "waitforexitandrun", "/g/game.exe"}, env);
}

void SteamDesktop::stopProcess(pid_t pid) {
  if (const auto child = std::find(launchChildren.begin(), launchChildren.end(), pid); child != launchChildren.end()) {
    // Its launch reaps it; gone from /proc once it has.
    kill(pid, SIGKILL);
    launchChildren.erase(child);
    waitUntil([&] { return !fs::exists("/proc/" + std::to_string(pid)); });
    return;
  }
  processes.erase(pid);
}

void SteamDesktop::signalProcess(pid_t pid, int sig) {
  if (std::find(launchChildren.begin(), launchChildren.end(), pid) != launchChildren.end()) {
    kill(pid, sig);
  } else if (auto it = processes.find(pid); it != processes.end()) {
    it->second->signal(sig);
  }
}

void SteamDesktop::startLauncher(bool withCursello) {
  std::error_code ec;
  const fs::path binary = launcherDir() / "CurselloLinuxLauncher";
  fs::copy_file(launcherBinary(), binary, fs::copy_options::overwrite_existing, ec);
  fs::copy_file(joinHelperBinary(), launcherDir() / joinHelperBinary().filename(), fs::copy_options::overwrite_existing,
                ec);
  if (withCursello) writeFile(curselloExe(), "MZ stand-in for Cursello.exe\n");
  // The window watcher is built with MinGW, which a developer may lack: the stand-in wine is never given its bytes.
  // A test with real Wine puts the real one there first.
  if (!fs::exists(launcherDir() / "CurselloWindowWatch.exe", ec)) {
    writeFile(launcherDir() / "CurselloWindowWatch.exe", "MZ stand-in for the window watcher\n");
  }
  startInstalledLauncher(binary);
}

void SteamDesktop::startInstalledLauncher(const fs::path& binary) {
  std::error_code ec;
  if (user) giveTo(*user, root());
  const fs::path runtime = root() / "runtime";
  fs::create_directories(runtime, ec);
  fs::permissions(runtime, fs::perms::owner_all, ec);

  std::vector<std::string> env = baseEnvironment();
  env.push_back("HOME=" + home().string());
  env.push_back("XDG_RUNTIME_DIR=" + runtime.string());
  env.push_back("NO_AT_BRIDGE=1");
  env.push_back("GDK_BACKEND=x11");
  // GTK keeps memory until exit by design; leak reports of the sanitizer build would only describe that.
  env.push_back("ASAN_OPTIONS=detect_leaks=0");
  if (!display.empty()) env.push_back("DISPLAY=" + display);
  if (!busAddress.empty()) env.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress);
  for (const auto& entry : launcherEnvironment) {
    env = withVariable(env, entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
  }
  Subprocess::Options options{
      .program = binary, .argv = {binary.string()}, .env = env, .output = logFile(), .workingDir = root()};
  // A user's launcher has no /run/user/<uid> of a session here; its lock goes to its own HOME.
  if (user) {
    options.argv = asUser(*user, options.argv);
    options.program = options.argv.front();
  }
  launcherProcess = std::make_unique<Subprocess>(user ? options : withOwnRunUser(options));
  waitForLog("CurselloLinuxLauncher started");
}

pid_t SteamDesktop::launcherPid() const { return launcherProcess ? launcherProcess->pid() : -1; }

std::vector<LogLine> SteamDesktop::log() const {
  std::vector<LogLine> lines;
  std::istringstream in(slurp(logFile()));
  std::string line;
  while (std::getline(in, line)) {
    if (isTimestamp(line)) {
      lines.push_back({line.substr(0, 19), line.substr(20)});
    } else {
      lines.push_back({"", line});
    }
  }
  return lines;
}

int SteamDesktop::countLog(const std::string& prefix) const {
  int count = 0;
  for (const auto& line : log()) {
    if (!line.time.empty() && line.message.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

bool SteamDesktop::waitForLog(const std::string& prefix, int count, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return countLog(prefix) >= count; }, timeout);
}

void SteamDesktop::waitPasses(int passes) {
  static int marker = 9900;
  for (int i = 0; i < passes; ++i) {
    const std::string appId = std::to_string(marker++);
    startProcess({"steam-marker", "SteamLaunch", "AppId=" + appId}, baseEnvironment(), false, reaper());
    waitForLog("Detected Steam launch for AppID " + appId + ";");
  }
}

fs::path SteamDesktop::wineRecordDir(const fs::path& protonDir) const { return protonDir / "files/bin"; }

std::vector<pid_t> SteamDesktop::companionPids() const {
  std::vector<pid_t> pids;
  for (const auto& dir : protonDirs) {
    std::istringstream in(slurp(wineRecordDir(dir) / "wine.pids"));
    pid_t pid = 0;
    while (in >> pid) pids.push_back(pid);
  }
  return pids;
}

namespace {

fs::path findRecord(const std::vector<fs::path>& dirs, pid_t pid, const std::string& extension) {
  for (const auto& dir : dirs) {
    const fs::path file = dir / "files/bin" / ("wine-" + std::to_string(pid) + extension);
    if (fs::exists(file)) return file;
  }
  return {};
}

}  // namespace

std::vector<std::string> SteamDesktop::companionArgs(pid_t pid) const {
  return splitNul(slurp(findRecord(protonDirs, pid, ".args")));
}

std::vector<std::string> SteamDesktop::companionEnv(pid_t pid) const {
  return splitNul(slurp(findRecord(protonDirs, pid, ".env")));
}

std::string SteamDesktop::companionRecord(pid_t pid, const std::string& extension) const {
  return slurp(findRecord(protonDirs, pid, extension));
}

void SteamDesktop::endCompanion(pid_t pid) const {
  // The launcher logs the child's pid as soon as it has started it, possibly before the stand-in has written
  // its record, which tells where its exit file goes.
  fs::path args;
  waitUntil([&] { return !(args = findRecord(protonDirs, pid, ".args")).empty(); });
  if (!args.empty()) writeFile(args.parent_path() / ("wine-" + std::to_string(pid) + ".exit"), "");
}

}  // namespace cs::test
