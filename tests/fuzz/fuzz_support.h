// Shared parts of the fuzz targets: a reader that turns the fuzz input into
// counts, flags and data, an output buffer that catches unwritten bytes, a
// small strict JSON parser and the container checks every file must pass.
// Written apart from the core so that its checks do not share its mistakes.
#pragma once

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "glbcore.h"

namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what.c_str());
    std::abort();
}
#define FUZZ_CHECK(cond, what)                               \
    do {                                                     \
        if (!(cond)) ::fuzz::fail(__FILE__, __LINE__, what); \
    } while (0)

// ---- Input --------------------------------------------------------------

// Reads the fuzz input front to back; past its end every value is zero.
// Multi-byte values are little-endian, so seeds are easy to write by hand.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining() const { return size_ - at_; }
    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(take(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(take(4)); }
    double f64_bits() {
        const std::uint64_t bits = take(8);
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    // A double either from its raw bits (any value: NaN, infinities, huge,
    // subnormal) or a small multiple of 1/64 that keeps boxes meaningful.
    double bound(bool raw) { return raw ? f64_bits() : static_cast<std::int16_t>(u16()) / 64.0; }
    // Up to n bytes; fewer when the input runs out.
    std::vector<std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, remaining());
        std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }

private:
    std::uint64_t take(std::size_t n) {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t byte = at_ < size_ ? data_[at_++] : 0;
            v |= byte << (8 * i);
        }
        return v;
    }
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Input bytes in a heap block of their exact size, starting `shift` bytes
// into it, so that any read past the end hits AddressSanitizer and reads
// through a misaligned start are exercised. Empty blocks give null.
class InputBlock {
public:
    InputBlock(const std::vector<std::uint8_t>& bytes, unsigned shift)
        : storage_(bytes.empty() ? nullptr : new std::uint8_t[bytes.size() + shift]),
          start_(storage_ ? storage_.get() + shift : nullptr),
          size_(bytes.size()) {
        if (start_) std::memcpy(start_, bytes.data(), size_);
    }
    template <class T>
    const T* as() const {
        return reinterpret_cast<const T*>(start_);
    }
    const std::uint8_t* data() const { return start_; }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<std::uint8_t[]> storage_;
    std::uint8_t* start_;
    std::size_t size_;
};

// ---- Output -------------------------------------------------------------

// Hands out an exact-size block pre-filled with `poison`. Building the same
// file into two different poisons and comparing shows that every byte was
// written; the exact size lets AddressSanitizer catch any write past it.
class PoisonedOutput final : public glbcore::OutputBuffer {
public:
    explicit PoisonedOutput(std::uint8_t poison) : poison_(poison) {}
    std::uint8_t* allocate(std::size_t size) override {
        FUZZ_CHECK(!allocated_, "allocate() called twice");
        allocated_ = true;
        bytes_.reset(new std::uint8_t[size == 0 ? 1 : size]);
        std::memset(bytes_.get(), poison_, size);
        size_ = size;
        return bytes_.get();
    }
    std::vector<std::uint8_t> bytes() const {
        FUZZ_CHECK(allocated_, "the builder never allocated its file");
        return std::vector<std::uint8_t>(bytes_.get(), bytes_.get() + size_);
    }

private:
    std::uint8_t poison_;
    bool allocated_ = false;
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};

// Runs `first(out)` and `second(out)` into two different poisons and returns
// the file, checking that both wrote the same bytes: every byte was written,
// and the two ways of building agree.
template <class First, class Second>
std::vector<std::uint8_t> build_twice(First first, Second second) {
    PoisonedOutput zeros(0x00);
    first(zeros);
    PoisonedOutput ones(0xFF);
    second(ones);
    std::vector<std::uint8_t> file = zeros.bytes();
    FUZZ_CHECK(file == ones.bytes(), "a byte of the file was left unwritten, or the builds differ");
    return file;
}

template <class Build>
std::vector<std::uint8_t> build_checked(Build build) {
    return build_twice(build, build);
}

// ---- JSON ---------------------------------------------------------------

struct Json {
    enum class Kind { null, boolean, number, string, array, object } kind = Kind::null;
    bool boolean = false;
    double number = 0;
    std::string text;  // string value, or the literal text of a number
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& key) const {
        auto it = members.find(key);
        FUZZ_CHECK(kind == Kind::object && it != members.end(), "missing member " + key);
        return it->second;
    }
    const Json& operator[](std::size_t i) const {
        FUZZ_CHECK(kind == Kind::array && i < items.size(), "missing array item");
        return items[i];
    }
    bool has(const std::string& key) const { return members.count(key) != 0; }
    // A whole number written without sign, fraction or exponent.
    std::uint64_t count() const {
        FUZZ_CHECK(kind == Kind::number && !text.empty() &&
                       text.find_first_not_of("0123456789") == std::string::npos,
                   "not an unsigned integer: " + text);
        return std::stoull(text);
    }
};

// Strict JSON (RFC 8259) over a byte range; throws std::runtime_error on the
// first deviation.
class JsonParser {
public:
    JsonParser(const char* begin, const char* end) : p_(begin), end_(end) {}

    Json parse_document() {
        Json value = parse_value(0);
        skip_space();
        if (p_ != end_) error("text after the document");
        return value;
    }

private:
    static constexpr int MAX_DEPTH = 64;

    [[noreturn]] void error(const char* what) { throw std::runtime_error(what); }
    void skip_space() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool take(char c) {
        if (p_ != end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }
    void expect_word(const char* word) {
        for (const char* w = word; *w; ++w) {
            if (!take(*w)) error("bad literal");
        }
    }
    Json parse_value(int depth) {
        if (depth > MAX_DEPTH) error("nesting too deep");
        skip_space();
        if (p_ == end_) error("unexpected end");
        Json v;
        switch (*p_) {
            case '{': return parse_object(depth);
            case '[': return parse_array(depth);
            case '"':
                v.kind = Json::Kind::string;
                v.text = parse_string();
                return v;
            case 't':
                expect_word("true");
                v.kind = Json::Kind::boolean;
                v.boolean = true;
                return v;
            case 'f':
                expect_word("false");
                v.kind = Json::Kind::boolean;
                return v;
            case 'n': expect_word("null"); return v;
            default: return parse_number();
        }
    }
    Json parse_object(int depth) {
        Json v;
        v.kind = Json::Kind::object;
        ++p_;
        skip_space();
        if (take('}')) return v;
        do {
            skip_space();
            if (p_ == end_ || *p_ != '"') error("object key expected");
            std::string key = parse_string();
            skip_space();
            if (!take(':')) error("':' expected");
            if (v.members.count(key)) error("duplicate key");
            v.members.emplace(std::move(key), parse_value(depth + 1));
            skip_space();
        } while (take(','));
        if (!take('}')) error("'}' expected");
        return v;
    }
    Json parse_array(int depth) {
        Json v;
        v.kind = Json::Kind::array;
        ++p_;
        skip_space();
        if (take(']')) return v;
        do {
            v.items.push_back(parse_value(depth + 1));
            skip_space();
        } while (take(','));
        if (!take(']')) error("']' expected");
        return v;
    }
    std::string parse_string() {
        ++p_;  // opening quote
        std::string s;
        while (true) {
            if (p_ == end_) error("unterminated string");
            const unsigned char c = static_cast<unsigned char>(*p_++);
            if (c == '"') return s;
            if (c < 0x20) error("control character in string");
            if (c != '\\') {
                s.push_back(static_cast<char>(c));
                continue;
            }
            if (p_ == end_) error("unterminated escape");
            const char e = *p_++;
            if (e == 'u') {
                for (int i = 0; i < 4; ++i) {
                    if (p_ == end_ || !std::isxdigit(static_cast<unsigned char>(*p_)))
                        error("bad \\u");
                    ++p_;
                }
                s.push_back('?');
            } else if (std::strchr("\"\\/bfnrt", e) != nullptr && e != '\0') {
                s.push_back(e);
            } else {
                error("bad escape");
            }
        }
    }
    static bool is_digit(char c) { return c >= '0' && c <= '9'; }
    Json parse_number() {
        const char* start = p_;
        take('-');
        if (take('0')) {
        } else if (p_ != end_ && is_digit(*p_) && *p_ != '0') {
            while (p_ != end_ && is_digit(*p_)) ++p_;
        } else {
            error("bad number");
        }
        if (take('.')) {
            if (p_ == end_ || !is_digit(*p_)) error("digit expected after '.'");
            while (p_ != end_ && is_digit(*p_)) ++p_;
        }
        if (take('e') || take('E')) {
            if (!take('+')) take('-');
            if (p_ == end_ || !is_digit(*p_)) error("digit expected in exponent");
            while (p_ != end_ && is_digit(*p_)) ++p_;
        }
        Json v;
        v.kind = Json::Kind::number;
        v.text.assign(start, p_);
        v.number = std::strtod(v.text.c_str(), nullptr);
        return v;
    }

    const char* p_;
    const char* end_;
};

// ---- The container --------------------------------------------------------

inline std::uint32_t le32(const std::vector<std::uint8_t>& f, std::size_t at) {
    return std::uint32_t{f[at]} | std::uint32_t{f[at + 1]} << 8 | std::uint32_t{f[at + 2]} << 16 |
           std::uint32_t{f[at + 3]} << 24;
}

struct ParsedGlb {
    Json document;
    std::vector<std::uint8_t> payload;  // the BIN data without its padding
};

// The views and component types a layout may use: float files keep every
// view in the BIN chunk; compressed files put their views in the
// extension's fallback buffer (1), each with a stream in the BIN chunk.
enum class Layout { floats, compressed };

// A view of the fallback buffer: inside it, and its stream inside the payload.
inline void check_meshopt_view(const Json& doc, const Json& view, std::uint64_t payload_length) {
    const Json& fallback = doc["buffers"][1];
    FUZZ_CHECK(fallback["extensions"]["EXT_meshopt_compression"]["fallback"].boolean &&
                   !fallback.has("uri"),
               "buffer 1 is not a fallback buffer without data");
    FUZZ_CHECK(
        view["byteOffset"].count() + view["byteLength"].count() <= fallback["byteLength"].count(),
        "view runs past the fallback buffer");
    const Json& stream = view["extensions"]["EXT_meshopt_compression"];
    FUZZ_CHECK(stream["buffer"].count() == 0, "stream outside the BIN chunk");
    FUZZ_CHECK(stream["byteOffset"].count() % 4 == 0, "stream not 4-byte aligned");
    FUZZ_CHECK(stream["byteOffset"].count() + stream["byteLength"].count() <= payload_length,
               "stream runs past the payload");
}

// Header, both chunks and their padding, the JSON, and that every buffer
// view and accessor lies inside the payload.
inline ParsedGlb check_container(const std::vector<std::uint8_t>& f,
                                 Layout layout = Layout::floats) {
    FUZZ_CHECK(f.size() >= 20, "file shorter than its fixed headers");
    FUZZ_CHECK(le32(f, 0) == 0x46546C67u && le32(f, 4) == 2, "bad magic or version");
    FUZZ_CHECK(le32(f, 8) == f.size(), "header total differs from the file size");
    const std::uint32_t json_length = le32(f, 12);
    FUZZ_CHECK(le32(f, 16) == 0x4E4F534Au, "first chunk is not JSON");
    FUZZ_CHECK(json_length % 4 == 0, "JSON chunk length not a multiple of 4");
    FUZZ_CHECK(std::uint64_t{json_length} + 20 <= f.size(), "JSON chunk runs past the file");
    // A file without buffers may end after its JSON chunk.
    const std::size_t bin_header = 20 + std::size_t{json_length};
    const bool has_bin = bin_header < f.size();
    std::uint32_t bin_length = 0;
    if (has_bin) {
        FUZZ_CHECK(bin_header + 8 <= f.size(), "BIN chunk header runs past the file");
        bin_length = le32(f, bin_header);
        FUZZ_CHECK(le32(f, bin_header + 4) == 0x004E4942u, "second chunk is not BIN");
        FUZZ_CHECK(bin_length % 4 == 0, "BIN chunk length not a multiple of 4");
        FUZZ_CHECK(bin_header + 8 + std::size_t{bin_length} == f.size(),
                   "the BIN chunk does not end the file");
    }

    const char* json = reinterpret_cast<const char*>(f.data() + 20);
    std::size_t text_length = json_length;
    while (text_length > 0 && json[text_length - 1] == ' ') --text_length;
    FUZZ_CHECK(json_length - text_length < 4, "more than 3 bytes of JSON padding");
    ParsedGlb glb;
    try {
        glb.document = JsonParser(json, json + text_length).parse_document();
    } catch (const std::exception& e) {
        fail(__FILE__, __LINE__, std::string("JSON does not parse: ") + e.what());
    }
    FUZZ_CHECK(glb.document.kind == Json::Kind::object, "the document is not an object");
    if (!glb.document.has("buffers")) {  // the empty files
        FUZZ_CHECK(bin_length == 0, "a document without buffers but with a payload");
        return glb;
    }
    FUZZ_CHECK(has_bin, "a document with buffers but no BIN chunk");
    const std::uint64_t payload_length = glb.document["buffers"][0]["byteLength"].count();
    FUZZ_CHECK(payload_length <= bin_length && bin_length - payload_length < 4,
               "buffer byteLength does not match the BIN chunk");
    const std::uint8_t* bin = f.data() + bin_header + 8;
    for (std::size_t i = payload_length; i < bin_length; ++i) {
        FUZZ_CHECK(bin[i] == 0, "BIN padding is not zero");
    }
    glb.payload.assign(bin, bin + payload_length);

    for (const Json& view : glb.document["bufferViews"].items) {
        if (layout == Layout::compressed) {
            FUZZ_CHECK(view["buffer"].count() == 1, "compressed view outside the fallback buffer");
            check_meshopt_view(glb.document, view, payload_length);
            continue;
        }
        FUZZ_CHECK(view["buffer"].count() == 0, "view of a buffer other than 0");
        FUZZ_CHECK(view["byteOffset"].count() % 4 == 0, "view not 4-byte aligned");
        FUZZ_CHECK(view["byteOffset"].count() + view["byteLength"].count() <= payload_length,
                   "buffer view runs past the payload");
    }
    for (const Json& accessor : glb.document["accessors"].items) {
        const std::uint64_t v = accessor["bufferView"].count();
        FUZZ_CHECK(v < glb.document["bufferViews"].items.size(), "accessor of a missing view");
        const std::uint64_t type = accessor["componentType"].count();
        const bool compressed_type = type == 5121 || type == 5123;  // UNSIGNED_BYTE, _SHORT
        FUZZ_CHECK(layout == Layout::compressed ? compressed_type : (type == 5126 || type == 5125),
                   "unexpected componentType");
    }
    return glb;
}

// The bytes of buffer view `i`.
inline std::vector<std::uint8_t> view_bytes(const ParsedGlb& glb, std::size_t i) {
    const Json& view = glb.document["bufferViews"][i];
    const std::size_t offset = view["byteOffset"].count();
    const std::size_t length = view["byteLength"].count();
    return std::vector<std::uint8_t>(glb.payload.begin() + offset,
                                     glb.payload.begin() + offset + length);
}

inline bool same_bytes(const std::vector<std::uint8_t>& view, const InputBlock& block,
                       std::size_t length) {
    return view.size() == length &&
           (length == 0 || std::memcmp(view.data(), block.data(), length) == 0);
}

inline std::size_t components(const std::string& type) {
    if (type == "SCALAR") return 1;
    if (type == "VEC3") return 3;
    if (type == "VEC4") return 4;
    fail(__FILE__, __LINE__, "unexpected accessor type " + type);
}

// Accessor `i` covers its view exactly: count x components x 4 bytes.
inline bool accessor_fills_view(const ParsedGlb& glb, std::size_t i) {
    const Json& accessor = glb.document["accessors"][i];
    const Json& view = glb.document["bufferViews"][accessor["bufferView"].count()];
    return accessor["count"].count() * components(accessor["type"].text) * 4 ==
           view["byteLength"].count();
}

// A document number written with `decimals` decimals from `value`: the
// printed value can differ from it by half a unit in the last place, and by
// the double rounding of reading it back.
inline bool printed_from(const Json& printed, double value, int decimals) {
    if (printed.kind != Json::Kind::number) return false;
    const double half_unit = 0.5 * std::pow(10.0, -decimals);
    return std::fabs(printed.number - value) <= half_unit * 1.000001 + std::fabs(value) * 1e-15;
}

inline bool all_finite(const double* values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(values[i])) return false;
    }
    return true;
}

constexpr const char* LENGTH_ERROR = "cannot create std::vector larger than max_size()";

}  // namespace fuzz
