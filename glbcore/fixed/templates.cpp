// The four glTF document templates and their locale-independent formatting.
// The documents are fixed single-line texts: no JSON library, no escaping,
// no whitespace. Only counts, byte lengths, bounds and material factors vary.
#include <locale.h>
#include <clocale>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "fixed/fixed.h"

namespace glbcore {

// Pieces the templates share, joined as adjacent string literals. The
// frozen texts keep the layout they were written in.
// clang-format off
#define GLTF_ASSET_AND_SCENE \
    R"json({"asset":{"version":"2.0","generator":"Zarn Native"},"scene":0,"scenes":[{"nodes":[0]}])json"
#define CLOUD_NODE_AND_MESH                                                             \
    R"json(,"nodes":[{"mesh":0,"name":"Atoms"}])json"                                   \
    R"json(,"meshes":[{"primitives":[{"attributes":{"POSITION":0,"COLOR_0":1},"mode":0}])json" \
    R"json(,"name":"AtomCloud"}])json"
#define MESH_NODE_AND_MATERIAL                                                                 \
    R"json(,"nodes":[{"mesh":0,"name":"Mesh"}])json"                                           \
    R"json(,"materials":[{"pbrMetallicRoughness":{"baseColorFactor":[%.4f,%.4f,%.4f,%.4f],)json" \
    R"json("metallicFactor":%.4f,"roughnessFactor":%.4f},"emissiveFactor":[%.4f,%.4f,%.4f],)json" \
    R"json("doubleSided":%s}])json"
#define POSITION_ACCESSOR                                                                 \
    R"json(,"accessors":[{"bufferView":0,"componentType":5126,"count":%zu,"type":"VEC3",)json" \
    R"json("min":[%.6f,%.6f,%.6f],"max":[%.6f,%.6f,%.6f]})json"
#define FIRST_VIEW R"json(,"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":%zu,"target":34962})json"
#define ATTRIBUTE_VIEW R"json(,{"buffer":0,"byteOffset":%zu,"byteLength":%zu,"target":34962})json"
#define INDEX_VIEW R"json(,{"buffer":0,"byteOffset":%zu,"byteLength":%zu,"target":34963})json"
#define BUFFER R"json(],"buffers":[{"byteLength":%zu}]})json"

const char POINT_CLOUD_TEMPLATE[] =
    GLTF_ASSET_AND_SCENE CLOUD_NODE_AND_MESH POSITION_ACCESSOR
    R"json(,{"bufferView":1,"componentType":5126,"count":%zu,"type":"%s"}])json"
    FIRST_VIEW ATTRIBUTE_VIEW BUFFER;

const char ATOM_TEMPLATE[] =
    GLTF_ASSET_AND_SCENE CLOUD_NODE_AND_MESH POSITION_ACCESSOR
    R"json(,{"bufferView":1,"componentType":5126,"count":%zu,"type":"VEC3"}])json"
    FIRST_VIEW ATTRIBUTE_VIEW BUFFER;

const char COLORED_MESH_TEMPLATE[] =
    GLTF_ASSET_AND_SCENE MESH_NODE_AND_MATERIAL
    R"json(,"meshes":[{"primitives":[{"attributes":{"POSITION":0,"NORMAL":1,"COLOR_0":2},)json"
    R"json("indices":3,"material":0,"mode":4}],"name":"MeshGeometry"}])json"
    POSITION_ACCESSOR
    R"json(,{"bufferView":1,"componentType":5126,"count":%zu,"type":"VEC3"})json"
    R"json(,{"bufferView":2,"componentType":5126,"count":%zu,"type":"VEC4"})json"
    R"json(,{"bufferView":3,"componentType":5125,"count":%zu,"type":"SCALAR"}])json"
    FIRST_VIEW ATTRIBUTE_VIEW ATTRIBUTE_VIEW INDEX_VIEW BUFFER;

const char UNCOLORED_MESH_TEMPLATE[] =
    GLTF_ASSET_AND_SCENE MESH_NODE_AND_MATERIAL
    R"json(,"meshes":[{"primitives":[{"attributes":{"POSITION":0,"NORMAL":1},)json"
    R"json("indices":2,"material":0,"mode":4}],"name":"MeshGeometry"}])json"
    POSITION_ACCESSOR
    R"json(,{"bufferView":1,"componentType":5126,"count":%zu,"type":"VEC3"})json"
    R"json(,{"bufferView":2,"componentType":5125,"count":%zu,"type":"SCALAR"}])json"
    FIRST_VIEW ATTRIBUTE_VIEW INDEX_VIEW BUFFER;

// clang-format on

#undef GLTF_ASSET_AND_SCENE
#undef CLOUD_NODE_AND_MESH
#undef MESH_NODE_AND_MATERIAL
#undef POSITION_ACCESSOR
#undef FIRST_VIEW
#undef ATTRIBUTE_VIEW
#undef INDEX_VIEW
#undef BUFFER

namespace {

// Makes this thread format numbers in the "C" locale for its lifetime, so a
// host that set a comma decimal point still gets valid JSON. uselocale()
// changes only the calling thread, so other threads are not disturbed.
class CNumericLocaleScope {
public:
    CNumericLocaleScope() : c_locale_(newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0))) {
        if (c_locale_ == static_cast<locale_t>(0)) throw std::bad_alloc();
        previous_ = uselocale(c_locale_);
    }
    ~CNumericLocaleScope() {
        uselocale(previous_);
        freelocale(c_locale_);
    }
    CNumericLocaleScope(const CNumericLocaleScope&) = delete;
    CNumericLocaleScope& operator=(const CNumericLocaleScope&) = delete;

private:
    locale_t c_locale_;
    locale_t previous_;
};

}  // namespace

std::size_t format_document(char* text, std::size_t capacity, const char* format, ...) {
    CNumericLocaleScope c_locale;
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(text, capacity, format, args);
    va_end(args);
    if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
        throw std::logic_error("glTF document does not fit its buffer");
    }
    return static_cast<std::size_t>(written);
}

}  // namespace glbcore
