// The Python face of the index writer: binds and converts the ten arguments, takes the
// working copy and resolves the metric under the interpreter lock, then writes without it.
#include "core/messages.hpp"
#include "lib/args.hpp"
#include "lib/bindings.hpp"
#include "lib/py_ref.hpp"

#include <cstring>
#include <optional>

#include "prepare/working_copy.hpp"
#include "prepare/writer.hpp"

namespace rivezor::py {
namespace {

// Writer messages may carry paths given as str; surrogate escapes turn their bytes back into
// the caller's text verbatim.
PyObject* raise_writer_error(const std::string& message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
    if (!text) return nullptr;
    PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

// Full Unicode default case mapping is str.lower(); it runs on an exact str so that a
// subclass cannot substitute its own lower().
std::optional<std::string> lowered(const std::string& utf8) {
    Ref exact = Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
    if (!exact) return std::nullopt;
    Ref lower = Ref::steal(PyObject_CallMethod(exact.get(), "lower", nullptr));
    if (!lower) return std::nullopt;
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(lower.get(), &n);
    if (text == nullptr) return std::nullopt;
    return std::string(text, static_cast<std::size_t>(n));
}

}  // namespace

PyObject* prepare_bin_from_embeddings(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"embeddings", "dims", "rows",   "base_name", "level",
                                        "normalize",  "ann",  "seed",   "metric",    "output_dir"};
    PyObject* argv[10];
    if (!bind_arguments("py_prepare_bin_from_embeddings", args, kwargs, names, 10, 5, argv)) return nullptr;

    prepare::PrepareRequest request;
    PyArrayObject* array = nullptr;
    bool ann = false;
    std::uint64_t seed = 0;
    std::string metric = "cosine";
    if (!to_float32_array(argv[0], "embeddings", 2, &array) || !to_u64(argv[1], "dims", &request.dims) ||
        !to_u64(argv[2], "rows", &request.rows) || !to_text(argv[3], "base_name", &request.base_name) ||
        !to_text(argv[4], "level", &request.level))
        return nullptr;
    if ((argv[5] && !to_bool(argv[5], "normalize", &request.normalize)) || (argv[6] && !to_bool(argv[6], "ann", &ann)) ||
        (argv[7] && !to_u64(argv[7], "seed", &seed)) || (argv[8] && !to_text(argv[8], "metric", &metric)))
        return nullptr;
    if (argv[9] && argv[9] != Py_None) {
        std::string dir;
        if (!to_path(argv[9], "output_dir", &dir)) return nullptr;
        request.output_dir = std::move(dir);
    }
    (void)ann;   // accepted for compatibility; exact search needs no approximate structure
    (void)seed;

    // The working copy; the caller's array is not read again.
    if (!require_c_contiguous(array)) return nullptr;
    const std::uint64_t count = static_cast<std::uint64_t>(PyArray_SIZE(array));
    prepare::WorkingCopy working;
    if (!working.allocate(count)) return PyErr_NoMemory();
    working.fill(static_cast<const float*>(PyArray_DATA(array)), count);
    request.values = working.data();
    request.working_copy = &working;
    request.count = count;

    // The metric, still under the lock: lower-casing uses str.lower().
    const std::optional<std::string> lower = lowered(metric);
    if (!lower) return nullptr;
    const std::optional<Metric> parsed_metric = prepare::metric_from_lowercase_name(*lower);
    if (!parsed_metric) return raise_writer_error(msg::unknown_similarity_metric(metric));
    request.metric = *parsed_metric;

    std::optional<Result<std::string>> written;
    {
        GilRelease unlocked;
        written.emplace(prepare::prepare_index(request));
    }
    working.release();
    if (!*written) return raise_writer_error(written->error());
    const std::string& path = written->value();
    return PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace");
}

}  // namespace rivezor::py
