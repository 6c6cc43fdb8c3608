// Authenticode signing of a built launcher (through osslsigncode).
#pragma once

#include <filesystem>
#include <optional>

namespace tallix {

struct SigningOptions {
    std::filesystem::path certificate;                 // PEM certificate or PKCS#12 bundle
    std::optional<std::filesystem::path> key;          // PEM key; absent for PKCS#12
    std::optional<std::filesystem::path> passwordFile; // for a protected key or bundle
};

// Signs `executable` in place. Throws std::runtime_error naming the cause
// (a missing input, osslsigncode failing with its message).
void signLauncher(const std::filesystem::path &executable, const SigningOptions &options);

} // namespace tallix
