// The stores of trusted root certificates that browsers read. The roots are each user's
// own, so they go only where that user's browsers look:
// - the NSS database NSS itself picks (~/.pki/nssdb when it exists, else
//   $XDG_DATA_HOME/pki/nssdb; Chromium reads it) and the NSS database of every Firefox
//   profile, all written with `certutil`;
// - Firefox's certificate folder ~/.mozilla/certificates, from which the enterprise policy
//   (written as root) installs a certificate named by a bare file name, per user, into
//   every profile, also those created later.
// The system store (/etc/ssl/certs) is shared by every user and gets none of them.
//
// Error codes: errno values for what failed on this side (ENOENT: a program is missing,
// EINVAL: the certificate text is not Base64, EBADMSG: it does not hold a certificate or
// the Firefox policy file is not JSON, EACCES: an NSS database asks for a password); the exit
// status of the program that refused.
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
    // Finds `certutil` along PATH. Null, with the error code, when it is missing or there
    // is no home folder.
    static std::unique_ptr<RootStore> open(int& error);

    // Adds the certificate as a trusted root to every store of this user (see
    // writesUserStores): the NSS database NSS picks, every Firefox profile's, and
    // `fileName` in Firefox's certificate folder. One that is there already stays as it
    // is, without a second copy. A password-protected NSS database is left as it was (see
    // passwordProtectedDatabases).
    // Every store is tried; 0, or the error of the first that refused.
    int add(std::span<const unsigned char> der, const std::string& fileName);

    // Lists the bare file names once in Firefox's policy (root only): Firefox looks each
    // up in the certificate folder of the user it runs for, so every user's Firefox, also
    // in profiles made later, trusts that user's own roots. 0 or the error.
    static int nameInFirefoxPolicy(const std::vector<std::string>& fileNames);

    // Takes every root of this program other than `current` out of the user's NSS
    // databases and, as root, the roots earlier versions put into the system store: their
    // keys were not the user's own. 0, or the error of the first store that refused.
    int removeOtherRoots(const std::vector<std::vector<unsigned char>>& current);

    // The NSS databases that the last add left alone because they ask for a password.
    const std::vector<std::string>& passwordProtectedDatabases() const { return locked_; }

    // Whether this process writes the machine's stores (it runs as root).
    static bool writesMachineStores();
    // Whether it writes the stores in the home folder: only when the home folder is its own
    // (root with another user's HOME would leave files that user cannot read).
    static bool writesUserStores();

    // The nickname under which a certificate is added to NSS databases; the same
    // certificate always gets the same one.
    static std::string nickname(std::span<const unsigned char> der);
    // The user's NSS database folder, chosen as NSS chooses it.
    static std::string nssDatabaseFolder();
    // The folders of the Firefox profiles listed in the user's profiles.ini files.
    static std::vector<std::string> firefoxProfileFolders();
    // Where Firefox looks up a bare file name of its policy's certificates for this user.
    static std::string firefoxCertificateFolder();
    static constexpr const char* firefoxPolicyFile = "/etc/firefox/policies/policies.json";

private:
    RootStore() = default;
    std::vector<std::string> nssDatabases() const;
    int addToNssDatabase(const std::string& folder, const std::string& nickname,
                         const std::string& certificateFile);
    int removeFromNssDatabase(const std::string& folder,
                              const std::vector<std::string>& keptNicknames) const;
    bool isPasswordProtected(const std::string& database) const;
    std::string certutilProgram_;
    std::vector<std::string> locked_;
};
