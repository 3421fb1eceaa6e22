// The machine's store of trusted root certificates. On this system no single store is read
// by every program, so a root goes to each place where a browser or TLS library looks:
// - for every user: the NSS database NSS itself picks (~/.pki/nssdb when it exists, else
//   $XDG_DATA_HOME/pki/nssdb; Chromium reads it) and the NSS database of every Firefox
//   profile, all written with `certutil`;
// - as root only: the system store (the root as a .crt file in
//   /usr/local/share/ca-certificates/, then `update-ca-certificates`, or p11-kit's `trust`
//   where that is missing), which OpenSSL, GnuTLS and curl read, and Firefox's enterprise
//   policy, which makes profiles created later trust the same files.
//
// Error codes: errno values for what failed on this side (ENOENT: a program is missing,
// EINVAL: the certificate text is not Base64, EBADMSG: it does not hold a certificate or
// the Firefox policy file is not JSON); the exit status of the program that refused.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The DER bytes of a certificate given as PEM text (the BEGIN and END lines may be there
// or not; blanks and line ends are skipped). Nothing, with the error code in `error`, when
// the Base64 body is damaged or does not hold one whole DER structure.
std::optional<std::vector<unsigned char>> decodeCertificateText(std::string_view text, int& error);

// The policy text with every one of `files` listed once in policies.Certificates.Install,
// everything else kept as it was; "{}" stands for a missing file. Nothing when the text is
// not one JSON object or one of those members has another type.
std::optional<std::string> withInstalledCertificates(std::string_view policyText,
                                                     const std::vector<std::string>& files);

class RootStore {
public:
    // Finds the programs the stores need along PATH (`certutil` always; as root also
    // `update-ca-certificates` or `trust`). Null, with the error code, when one is missing.
    static std::unique_ptr<RootStore> open(int& error);

    // Adds the certificate as a trusted root to every store of this user (see
    // writesUserStores) and, as root, to the machine's; one that is there already stays as
    // it is, without a second copy.
    // Every store is tried; 0, or the error of the first that refused.
    int add(std::span<const unsigned char> der);

    // Whether this process writes the machine's stores (it runs as root).
    static bool writesMachineStores();
    // Whether it writes the stores in the home folder: only when the home folder is its own
    // (root with another user's HOME would leave files that user cannot read).
    static bool writesUserStores();

    // The nickname under which a certificate is added to NSS databases; the same
    // certificate always gets the same one.
    static std::string nickname(std::span<const unsigned char> der);
    // The certificate's file in the system store (also named by the Firefox policy).
    static std::string systemCertificateFile(std::span<const unsigned char> der);
    // The user's NSS database folder, chosen as NSS chooses it.
    static std::string nssDatabaseFolder();
    // The folders of the Firefox profiles listed in the user's profiles.ini files.
    static std::vector<std::string> firefoxProfileFolders();
    static constexpr const char* firefoxPolicyFile = "/etc/firefox/policies/policies.json";

private:
    RootStore() = default;
    int addToNssDatabase(const std::string& folder, const std::string& nickname,
                         const std::string& certificateFile) const;
    int addToSystemStore(std::span<const unsigned char> der) const;
    std::string certutilProgram_;
    std::string updateProgram_;  // update-ca-certificates; empty where `trust` is used instead
    std::string trustProgram_;
};
