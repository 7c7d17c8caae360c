#pragma once
// A self-signed certificate made when the server starts, for its HTTPS listener.
#include <optional>
#include <string>

namespace websim {

struct Credentials {
    std::string certificate_pem;
    std::string private_key_pem;
};

// A P-256 key and a certificate for "localhost" / 127.0.0.1 signed with it. `expired`: valid
// from 30 days ago until yesterday. std::nullopt when the crypto library fails.
std::optional<Credentials> make_self_signed(bool expired);

} // namespace websim
