/*
 * vq_password.cpp - web passwords of the directory's people: a salted
 * yescrypt hash made and checked through libcrypt (crypt_gensalt_rn,
 * crypt_r), stored as text in the Person document.
 */
#include <crypt.h>

#include <cstring>
#include <memory>

#include "vq_operator.h"

namespace vqop {

const char *const kPasswordItem = "HTTPPassword";

std::string HashPassword(const std::string &password)
{
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    /* no entropy given: libcrypt takes it from the system's random source */
    if (crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt) == nullptr)
        throw Error(ERR_BAD_PARAM, "cannot make a password salt");
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof *data);
    const char *hash = crypt_r(password.c_str(), salt, data.get());
    if (hash == nullptr || hash[0] == '*')
        throw Error(ERR_BAD_PARAM, "cannot hash the password");
    return hash;
}

bool CheckPassword(const std::string &password, const std::string &hash)
{
    if (hash.size() < 4 || hash[0] != '$' || password.find('\0') != std::string::npos)
        return false;
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof *data);
    const char *got = crypt_r(password.c_str(), hash.c_str(), data.get());
    if (got == nullptr || got[0] == '*' || std::strlen(got) != hash.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < hash.size(); ++i)
        diff |= (unsigned char)(got[i] ^ hash[i]);
    return diff == 0;
}

}  // namespace vqop
