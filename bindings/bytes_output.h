// The file of a builder written straight into a new `bytes` object, for both
// modules: the builder asks for exactly the file's size once, and the
// result is returned without a copy.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>

#include "glbcore.h"

namespace bindings {

class BytesOutput final : public glbcore::OutputBuffer {
public:
    // Whether the builder runs with the interpreter lock released, so that
    // allocate() must take it back to create the object.
    enum class Lock { held, released };
    explicit BytesOutput(Lock lock = Lock::held) : lock_(lock) {}

    std::uint8_t* allocate(std::size_t size) override {
        if (lock_ == Lock::held) return make_bytes(size);
        pybind11::gil_scoped_acquire acquired;
        return make_bytes(size);
    }
    pybind11::bytes take() { return std::move(result_); }

private:
    std::uint8_t* make_bytes(std::size_t size) {
        PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
        if (raw == nullptr) {
            const bool out_of_memory = PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
            PyErr_Clear();
            if (out_of_memory) throw std::bad_alloc();
            throw std::runtime_error("Could not allocate bytes object!");
        }
        result_ = pybind11::reinterpret_steal<pybind11::bytes>(raw);
        auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(raw));
        // Large results are fresh memory that the builder writes in full.
        glbcore::advise_huge_pages(data, size);
        return data;
    }

    Lock lock_;
    pybind11::bytes result_;
};

}  // namespace bindings
