#include "helpers/Sandbox.h"

#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testing_support {

Sandbox::Sandbox() {
    std::string pattern = (fs::temp_directory_path() / "tessaroll-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    for (const auto& dir : {home(), dataHome(), runtimeDir(), tempDir(), windowsDir(), desktopDir(),
                            downloadDir(), documentsDir()})
        fs::create_directories(dir);
    fs::permissions(runtimeDir(), fs::perms::owner_all, fs::perm_options::replace);
    placeTestCredentials();

    env_ = {
        {"HOME", home().string()},
        {"XDG_DATA_HOME", dataHome().string()},
        {"XDG_CONFIG_HOME", (home() / ".config").string()},
        {"XDG_RUNTIME_DIR", runtimeDir().string()},
        {"XDG_DESKTOP_DIR", desktopDir().string()},
        {"XDG_DOWNLOAD_DIR", downloadDir().string()},
        {"XDG_DOCUMENTS_DIR", documentsDir().string()},
        {"TMPDIR", tempDir().string()},
        {"TESSAROLL_WINDOWS_DIR", windowsDir().string()},
        // A bus that is not there: desktop libraries would otherwise start a session bus
        // of their own that outlives the test.
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (runtimeDir() / "no-session-bus").string()},
    };
    for (const auto& [name, value] : env_) {
        const char* old = std::getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        setenv(name.c_str(), value.c_str(), 1);
    }
}

Sandbox::~Sandbox() {
    for (const auto& [name, value] : saved_) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
    std::error_code ignored;
    if (!std::getenv("TESSAROLL_KEEP_SANDBOX")) fs::remove_all(root_, ignored);
}

void Sandbox::placeTestCredentials() const {
    const fs::path built = fs::path(TESSAROLL_BINARY_DIR) / "generated/certs";
    fs::create_directories(credentialFolder());
    fs::permissions(credentialFolder(), fs::perms::owner_all, fs::perm_options::replace);
    for (const char* name : {"ec_root.pem", "ec_server.pem", "ec_server.key", "rsa_root.pem",
                             "rsa_server.pem", "rsa_server.key"}) {
        fs::copy_file(built / name, credentialFolder() / name,
                      fs::copy_options::overwrite_existing);
        fs::permissions(credentialFolder() / name, fs::perms::owner_read | fs::perms::owner_write,
                        fs::perm_options::replace);
    }
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++n;
    return n;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace testing_support
