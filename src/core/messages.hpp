// Every text a caller of rivezor can see: the messages of engine, writer and binding, and the
// path names of method_used. Callers match on them: verbatim (some Portuguese on purpose), never reword.
#pragma once

#include <cstdint>
#include <string>

namespace rivezor::msg {

// ---- method_used: the name of the path that answered ------------------------------------
inline constexpr const char* kPathRowScan = "exact";
inline constexpr const char* kPathChunked = "exact-chunked";
inline constexpr const char* kPathBlockedMatrix = "exact-blocked-matrix";
inline constexpr const char* kPathFullMatrix = "exact-matrix-full";
inline constexpr const char* kPathPruned = "exact-pruned-fast";
inline constexpr const char* kPathPerQuery = "rayon-optimized";
inline constexpr const char* kPathQueryBlocked = "matrix-full";
inline constexpr const char* kPathQueryChunked = "matrix-chunked";
inline constexpr const char* kPathRowBlocked = "batch-blocked-exact";
inline constexpr const char* kPathCertifiedEmpty = "exact-certified";
inline constexpr const char* kPathCertifiedPruning = "exact-certified-pruning";
inline constexpr const char* kPathCertifiedNoPruning = "exact-certified-no-pruning";

// ---- opening an index -------------------------------------------------------------------
inline std::string open_failed(const std::string& path, const std::string& reason) {
    return "Failed to open file " + path + ": " + reason;
}
inline std::string mmap_failed(const std::string& reason) { return "Failed to mmap file: " + reason; }
inline std::string header_too_short(std::uint64_t length) {
    return "File too short for an index header: expected at least 12 bytes, got " + std::to_string(length);
}
inline std::string unknown_metric_id(std::uint32_t id) { return "Unknown metric id: " + std::to_string(id); }
inline std::string file_too_small(const std::string& required, std::uint64_t length) {
    return "File too small: expected " + required + " bytes, got " + std::to_string(length);
}
// The mapped file shrank or was rewritten in place after the open.
inline std::string index_file_changed(const std::string& path) {
    return "Index file " + path +
           " was truncated or modified after it was opened; open it again to search its current contents";
}

// ---- queries -------------------------------------------------------------------------------
// One query (single and certified searches): singular wording.
inline std::string query_dimension_mismatch(std::uint64_t given, std::uint64_t index_dims) {
    return "Query dimension " + std::to_string(given) + " != index dimension " + std::to_string(index_dims);
}
// Batches and the diagnostics: plural wording.
inline std::string query_dimensions_mismatch(std::uint64_t given, std::uint64_t index_dims) {
    return "Query dimensions " + std::to_string(given) + " != index dimensions " + std::to_string(index_dims);
}
inline constexpr const char* kQueryNotFinite = "Query vector contém valores não finitos";
inline constexpr const char* kCertifiedQueryNotFinite = "Query vector contains non-finite values";
inline constexpr const char* kBatchNotFinite = "Queries contêm valores não finitos (NaN/Inf)";
inline constexpr const char* kBatchNoColumns = "queries have 0 columns: dims must be at least 1";
inline constexpr const char* kCertifiedBatchNoColumns = "queries has no columns: its second dimension is 0";
inline constexpr const char* kBatchLengthNotMultiple = "queries.len() não é múltiplo de dims";

inline std::string single_out_of_memory(std::uint64_t rows) {
    return "Out of memory during the search of " + std::to_string(rows) + " rows";
}
inline std::string search_failed(const std::string& what) { return "Search failed: " + what; }
inline std::string batch_out_of_memory(std::uint64_t queries) {
    return "Out of memory while answering a batch of " + std::to_string(queries) + " queries";
}
inline std::string batch_failed(const std::string& what) { return "Batch search failed: " + what; }
inline constexpr const char* kUnknownBatchPath = "unknown batch path";
inline std::string score_matrix_unavailable(std::uint64_t a, std::uint64_t b) {
    return "Cannot allocate a score matrix of " + std::to_string(a) + " x " + std::to_string(b) + " float32 values";
}
inline constexpr const char* kMergeOutOfMemory = "Out of memory while merging the row blocks' candidates";

inline constexpr const char* kCertifiedOutOfMemory = "Not enough memory for the certified search";
inline constexpr const char* kCertifiedBatchOutOfMemory = "Not enough memory for the certified batch search";
inline std::string certified_batch_failed(const std::string& what) { return "Certified batch search failed: " + what; }

// ---- diagnostics ------------------------------------------------------------------------
inline constexpr const char* kIndexOutOfBounds = "Index out of bounds";
inline constexpr const char* kBlockSizeZero = "block_size must be > 0";
inline constexpr const char* kTopBlocksZero = "top_blocks must be > 0";
inline constexpr const char* kExplainOutOfMemory = "Not enough memory to explain the score";
inline constexpr const char* kCompareOutOfMemory = "Not enough memory to compare the rows";

// ---- the writer ------------------------------------------------------------------------------
inline std::string invalid_dims(std::uint64_t dims, std::uint64_t max) {
    return "Invalid dims: " + std::to_string(dims) + " (must be 1-" + std::to_string(max) + ")";
}
inline std::string invalid_rows(std::uint64_t rows, std::uint64_t max) {
    return "Invalid rows: " + std::to_string(rows) + " (must be 1-" + std::to_string(max) + ")";
}
inline std::string shape_mismatch(std::uint64_t rows, std::uint64_t dims, std::uint64_t expected, std::uint64_t got) {
    return "Data shape mismatch: expected " + std::to_string(rows) + "\xC3\x97" + std::to_string(dims) + "=" +
           std::to_string(expected) + ", got " + std::to_string(got);
}
inline constexpr const char* kInvalidBaseName = "Invalid base_name: cannot be empty or contain special characters";
inline std::string invalid_level(const std::string& level) {
    return "Invalid level '" + level + "'. Must be f8, f16, f32, or f64";
}
// The percentage and sizes arrive already formatted with one decimal.
inline std::string too_many_invalid(std::uint64_t invalid, std::uint64_t samples, const std::string& percent) {
    return "Too many invalid values: " + std::to_string(invalid) + "/" + std::to_string(samples) + " (" + percent + "%)";
}
inline std::string insufficient_memory(const std::string& need_gb, const std::string& available_gb) {
    return "Insufficient memory: need " + need_gb + "GB, available " + available_gb + "GB";
}
inline constexpr const char* kNoValidCharacters = "Base name contains no valid characters";
inline std::string not_a_directory(const std::string& dir) { return "Output path is not a directory: " + dir; }
inline constexpr const char* kNoHomeDirectory = "Failed to get home directory";
inline std::string create_directory_failed(const std::string& dir, const std::string& reason) {
    return "Failed to create directory " + dir + ": " + reason;
}
inline constexpr const char* kNulInFileName = "file name contains a NUL byte";
inline std::string remove_temp_failed(const std::string& reason) { return "Failed to remove temp file: " + reason; }
inline std::string create_file_failed(const std::string& path, const std::string& reason) {
    return "Failed to create file " + path + ": " + reason;
}
inline std::string set_length_failed(const std::string& reason) { return "Failed to set file length: " + reason; }
inline std::string create_map_failed(const std::string& reason) { return "Failed to create memory map: " + reason; }
inline std::string flush_failed(const std::string& reason) { return "Failed to flush memory map: " + reason; }
inline std::string temp_metadata_failed(const std::string& reason) {
    return "Failed to get temp file metadata: " + reason;
}
inline constexpr const char* kTempReplaced = "the temporary file was replaced by another writer";
inline std::string rename_failed(const std::string& reason) {
    return "Failed to move temp file to final location: " + reason;
}
inline constexpr const char* kPrepareOutOfMemory = "Out of memory while preparing the index";
inline std::string prepare_failed(const std::string& what) { return "Index preparation failed: " + what; }
inline std::string unknown_similarity_metric(const std::string& name) { return "Unknown similarity metric: " + name; }

// ---- the binding -------------------------------------------------------------------------------
// CPython's own wording for argument binding, as printf formats for PyErr_Format.
inline constexpr const char* kFmtArgument = "argument '%s': %s";
inline constexpr const char* kFmtTooManyPositional = "%s() takes %zu positional argument%s but %zd %s given";
inline constexpr const char* kFmtTooManyPositionalRange =
    "%s() takes from %zu to %zu positional arguments but %zd %s given";
inline constexpr const char* kFmtKeywordsMustBeStrings = "%s() keywords must be strings";
inline constexpr const char* kFmtUnexpectedKeyword = "%s() got an unexpected keyword argument '%s'";
inline constexpr const char* kFmtMultipleValues = "%s() got multiple values for argument '%s'";
inline constexpr const char* kFmtMissingPositional = "%s() missing %zu required positional argument%s: %s";
inline constexpr const char* kIntegerRequired = "an integer is required";
// `target` is one of "PyBool", "PyString", "PyArray<T, D>".
inline std::string cannot_convert(const std::string& type_name, const char* target) {
    return "'" + type_name + "' object cannot be converted to '" + target + "'";
}
inline std::string dimensionality_mismatch(int from, int to) {
    return "dimensionality mismatch:\n from=" + std::to_string(from) + ", to=" + std::to_string(to);
}
inline std::string dtype_mismatch(const std::string& from) { return "type mismatch:\n from=" + from + ", to=float32"; }
inline constexpr const char* kNotContiguous = "The given array is not contiguous";
inline std::string invalid_length(std::uint64_t got, std::uint64_t expected) {
    return "invalid length: " + std::to_string(got) + ", but expected " + std::to_string(expected);
}
inline constexpr const char* kNoConstructor = "No constructor defined";
inline constexpr const char* kNameMustBeString = "__name__ must be a string";
inline constexpr const char* kInitializedTwice = "rivezor may only be initialized once per interpreter process";
inline constexpr const char* kUnexpectedInternalError = "unexpected internal error";

}  // namespace rivezor::msg
