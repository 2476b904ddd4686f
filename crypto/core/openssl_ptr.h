// Owning pointers to OpenSSL objects, each freed by the library's own function:
// OpensslPtr<EVP_MD_CTX, EVP_MD_CTX_free>.
#pragma once

#include <memory>

namespace tessarin {

template <auto Free>
struct FreeWith {
    template <typename T>
    void operator()(T* object) const {
        Free(object);
    }
};

template <typename T, auto Free>
using OpensslPtr = std::unique_ptr<T, FreeWith<Free>>;

}  // namespace tessarin
