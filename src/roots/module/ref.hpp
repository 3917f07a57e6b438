// Owned references.
//
// `Ref` owns exactly one strong reference (or none).  Borrowed references stay
// plain `PyObject*` and live only as long as whatever lends them.  Errors are
// reported the CPython way: a null `Ref` with the Python error set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace roots {

class [[nodiscard]] Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    // Py_DECREF is always inlined, Py_XDECREF is not: every handle dies on
    // a hot path somewhere.
    [[gnu::always_inline]] ~Ref() {
        if (obj_ != nullptr) {
            Py_DECREF(obj_);
        }
    }

    // Takes over a new reference, as returned by most of the C API.
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Takes a reference of its own to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller (a C API slot that returns a new reference).
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    // A new reference for the caller while this handle keeps its own.
    PyObject* new_ref() const noexcept { return Py_XNewRef(obj_); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

}  // namespace roots
