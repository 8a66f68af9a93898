// Owning pointers for OpenSSL objects: QKOwned<X509, X509_free> frees its object with
// OpenSSL's own function when it goes, on every path out of a scope.
#pragma once

#include <memory>

template <typename T, void (*Free)(T*)>
struct SQKFreeWith {
    void operator()(T* object) const noexcept { Free(object); }
};

template <typename T, void (*Free)(T*)>
using QKOwned = std::unique_ptr<T, SQKFreeWith<T, Free>>;
