// The worker: one command per run, given as the whole command-line text after the
// program's name. Installers, the monitor and the worker itself run it to stop, start
// and restart the system, to watch the monitor, to clean up after an uninstall, to
// delete a file and its emptied folders, to turn a key file into a C fragment and to
// install the two roots as trusted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Exit code of "-uninstalldetect" with wrong arguments. A process's exit status keeps its
// low byte only, so the parent sees 77.
inline constexpr int kWorkerParameterError = 61005;

enum class WorkerOption {
    Start,
    Stop,
    Restart,
    AllStop,
    Reset,
    MonitorStart,
    UninstallDetect,
    Delete,
    KeyToByte,
    Watchdog,
    ImportRootCACert,
};

// The option a command text selects: "-uninstalldetect", "-delete" and "-KeyToByte" when
// the text begins with them (letter case counts), any other option only when the whole
// text is that option without regard to case. Nothing for any other text.
std::optional<WorkerOption> matchWorkerOption(std::string_view commandText);
// The stop/start family, which runs one at a time under the per-user mutex "TessarollWorker".
bool takesWorkerLock(WorkerOption option);

// The command text of a run: the arguments after the program's name joined with single
// blanks, as the text a Windows program received after its own name.
std::string commandTextFromArguments(int argc, char** argv);

// One run of the worker; the process's exit code.
int runWorker(std::string_view commandText);

// The arguments of "-uninstalldetect": the text split at blanks into at most 16 tokens
// (the last keeps the rest of the text), then every run of tokens up to and including one
// that contains ".exe" joined with single blanks into one argument, so that a program path
// with blanks stays whole; tokens after the last ".exe" form one more argument. Double
// quotes are dropped. `tokenCount` receives the number of tokens.
std::vector<std::string> splitUninstallArguments(std::string_view argumentText,
                                                 std::size_t& tokenCount);

// Every file below `root` whose path matched `pattern` ("*" or a "*.ext" form) appended
// to `out` (which is cleared first). Folders are entered when their own name matches the
// pattern. False when a folder could not be searched or held no entry that matches.
bool listFiles(const std::string& root, std::string_view pattern, std::vector<std::string>& out);

// Appends the text to "Cert.h" in the current folder; false (logged) for no text, or when
// the file cannot be opened or written, in which case the file is left as it was.
bool appendToCertFile(const char* text);

// The key file as the C fragment "-KeyToByte" writes: "byte RSAKey[] = { 0x.." when
// `rsaName`, else "byte ECKey[] = { 0x..", each further byte as ", 0x..", then "};".
std::string keyToByteText(std::string_view keyText, bool rsaName);

// Removes the worker's own executable (which may go while it runs on this system).
void deleteSelf();

// Adds one PEM certificate to this user's trusted roots (see RootStore::add), named
// `fileName` in Firefox's certificate folder and policy: 1 when it is there afterwards
// (added now or already there), else 0 (logged).
int importRootCA(const char* pemText, const std::string& fileName);
