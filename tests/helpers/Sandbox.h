// A throwaway home for one test: HOME, the XDG folders, TMPDIR and the platform's
// folder overrides all point below one temporary folder, which is removed afterwards.
// Its credential folder starts with the build's test credentials (the roots that
// Service::rootCertificate names), so a service start does not make a user's roots.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace testing_support {

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path home() const { return root_ / "home"; }
    std::filesystem::path dataHome() const { return root_ / "home/.local/share"; }
    std::filesystem::path runtimeDir() const { return root_ / "run"; }
    std::filesystem::path tempDir() const { return root_ / "tmp"; }
    std::filesystem::path windowsDir() const { return root_ / "etc"; }
    std::filesystem::path desktopDir() const { return root_ / "home/Desktop"; }
    std::filesystem::path downloadDir() const { return root_ / "home/Downloads"; }
    std::filesystem::path documentsDir() const { return root_ / "home/Documents"; }
    // Where the programs keep the user's roots, server certificates and keys.
    std::filesystem::path credentialFolder() const { return dataHome() / "ZEFAGPKI"; }
    // Puts the build's test credentials into the credential folder (0700, files 0600).
    void placeTestCredentials() const;

    // The environment the sandbox sets, for starting child programs with it.
    const std::map<std::string, std::string>& environment() const { return env_; }

private:
    std::filesystem::path root_;
    std::map<std::string, std::string> env_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// Whole-file helpers for tests.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);
// How often `part` occurs in `text`, occurrences not overlapping.
std::size_t countOf(const std::string& text, const std::string& part);

}  // namespace testing_support
