#include "ZoqShell/Auth/PairingClient.h"

#include "ZoqCore/Support/Identifier.h"
#include "ZoqCore/Wire/WireDocument.h"
#include "ZoqShell/Auth/DeviceAuthError.h"
#include "ZoqShell/Auth/PairingError.h"

#include <algorithm>
#include <openssl/evp.h>

namespace zoq {
namespace {

bool isBlank(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The "code" of an error envelope body, or none.
std::optional<std::string> envelopeCode(const Bytes& body) {
    try {
        const WireDocument envelope(WireSchema::errorEnvelope, ByteView(body));
        const JSONValue* error = envelope.value().find("error");
        const JSONValue* code = error != nullptr ? error->find("code") : nullptr;
        if (code != nullptr && code->string() != nullptr) {
            return *code->string();
        }
    } catch (...) {
    }
    return std::nullopt;
}

} // namespace

PairingClient::PairingClient(DeviceAuth& auth, std::string installationId, std::string deviceName,
                             std::optional<std::string> portalBase)
    : auth_(auth), installationId_(std::move(installationId)), deviceName_(std::move(deviceName)),
      portalBase_(std::move(portalBase)) {}

std::string PairingClient::normalisedCode(std::string_view code) {
    std::string text(code);
    std::erase(text, '-');
    const auto first = std::find_if_not(text.begin(), text.end(), isBlank);
    const auto last = std::find_if_not(text.rbegin(), std::make_reverse_iterator(first), isBlank).base();
    std::string trimmed(first, last);
    for (char& c : trimmed) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    const bool valid = trimmed.size() == codeLength &&
                       std::all_of(trimmed.begin(), trimmed.end(),
                                   [](char c) { return alphabet.find(c) != std::string_view::npos; });
    if (!valid) {
        throw PairingError::invalidCode();
    }
    return trimmed;
}

std::string PairingClient::redemptionNonce() {
    const Bytes random = secureRandomBytes(32);
    // 32 bytes are 44 base64 characters, the last one "=" padding (plus the
    // terminator EVP_EncodeBlock writes).
    std::string text(45, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), random.data(),
                                       static_cast<int>(random.size()));
    text.resize(static_cast<std::size_t>(length));
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    text.pop_back();
    return text;
}

DeviceCredentialsResponse PairingClient::pair(std::string_view code) const {
    const std::string normalised = normalisedCode(code);
    const WireDocument request(WireSchema::pairingRedeemRequest, JSONValue(JSONValue::Object{
                                                                     {"code", normalised},
                                                                     {"platform", std::string(platform)},
                                                                     {"name", deviceName_},
                                                                     {"installationId", installationId_},
                                                                     {"redemptionNonce", redemptionNonce()},
                                                                 }));
    // Redeeming may replace this installation's credentials at the portal: no
    // refresh of the old ones may be in flight meanwhile, here or in another
    // process, or it would present a token the portal has just retired.
    const auto quiet = auth_.holdRefreshes();
    TransportResponse response;
    try {
        response = portalBase_ ? auth_.callUnauthenticated(*portalBase_, "POST", {"devices", "pair"},
                                                           request.encoded())
                               : auth_.callUnauthenticated("POST", {"devices", "pair"}, request.encoded());
    } catch (const DeviceAuthError& error) {
        throw PairingError::network(error.problem());
    } catch (const std::exception&) {
        throw PairingError::network();
    }
    if (response.status == 200) {
        std::optional<DeviceCredentialsResponse> credentials;
        try {
            credentials = DeviceCredentialsResponse::fromBytes(response.body);
        } catch (...) {
        }
        if (credentials) {
            if (portalBase_) {
                auth_.install(*credentials, *portalBase_);
            } else {
                auth_.install(*credentials);
            }
            return *credentials;
        }
    }
    throw PairingError::rejected(
        envelopeCode(response.body).value_or("HTTP " + std::to_string(response.status)));
}

} // namespace zoq
