// The machine's store of trusted root certificates. On this system there are two places
// that matter: the system trust store kept by p11-kit (its `trust` program), which the
// system's TLS libraries read, and the user's NSS database (~/.pki/nssdb, written with
// `certutil`), which browsers read. A root counts as trusted once it is in both.
//
// Error codes: errno values for what failed on this side (ENOENT: a program is missing,
// EINVAL: the certificate text is not Base64, EBADMSG: it does not hold a certificate);
// the exit status of `trust` or `certutil` when that program refused.
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

class RootStore {
public:
    // Finds `trust` and `certutil` along PATH and opens the user's NSS database, creating
    // it (without a password) when it is missing. Null, with the error code, when any of
    // this fails.
    static std::unique_ptr<RootStore> open(int& error);

    // Adds the certificate as a trusted root to both stores; one that is there already
    // stays as it is, without a second copy. Both stores are tried; 0, or the error of
    // the first that refused.
    int add(std::span<const unsigned char> der);

    // The nickname under which a certificate is added to the NSS database; the same
    // certificate always gets the same one.
    static std::string nickname(std::span<const unsigned char> der);
    // The user's NSS database folder: $HOME/.pki/nssdb.
    static std::string nssDatabaseFolder();

private:
    RootStore() = default;
    std::string trustProgram_;
    std::string certutilProgram_;
    std::string database_;  // "sql:<folder>"
};
