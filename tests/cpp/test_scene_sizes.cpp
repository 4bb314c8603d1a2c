// The size twins of the scene writers: they refuse what their writers refuse
// before reading an array, and give the size of the largest file.
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "glbcore.h"
#include "scenes.h"

using namespace glbcore;

namespace {

// Points at a float whose shortest text is as long as any float's: the
// bounds of their file take the most room the twins allow for.
constexpr float LONGEST_TEXT = -1.00303895e-36f;

template <class Scene>
std::size_t written_size(void (*write)(const Scene&, OutputBuffer&), const Scene& scene) {
    VectorOutput out;
    write(scene, out);
    return out.take().size();
}

// The message of what `call` throws, or "" when it returns.
std::string refusal(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(SceneSizes, AreTheFileSizesWhenTheBoundsTakeTheLongestText) {
    const std::uint32_t n = 3000;
    std::vector<float> longest(3 * n, LONGEST_TEXT);
    std::vector<float> random_positions(3 * n);
    std::mt19937 random(5);
    for (float& p : random_positions) p = std::uniform_real_distribution<float>(-9, 9)(random);
    std::vector<std::uint16_t> types(n);
    for (std::uint16_t& t : types) t = static_cast<std::uint16_t>(random() % 12);
    const std::vector<std::uint8_t> colors(4 * 4 * std::size_t{n}, 0);  // zero in every type
    std::vector<std::uint32_t> indices(3 * 999);
    for (std::uint32_t& i : indices) i = static_cast<std::uint32_t>(random() % n);
    const ColorArray color_kinds[] = {{},
                                      {colors.data(), ColorType::float32, 4},
                                      {colors.data(), ColorType::uint8, 3},
                                      {colors.data(), ColorType::uint16, 3}};
    for (const std::vector<float>* positions : {&longest, &random_positions}) {
        for (const std::uint32_t count : {0u, n}) {
            // Without points there are no bounds; other bounds are shorter.
            const bool at_longest = positions == &longest || count == 0;
            AtomScene atoms;
            atoms.positions = positions->data();
            atoms.count = count;
            atoms.types = types.data();
            const std::size_t atom_size = *atom_scene_size(atoms);
            const std::size_t atom_file = written_size(write_atom_scene, atoms);
            EXPECT_TRUE(at_longest ? atom_size == atom_file : atom_size > atom_file) << count;
            for (const ColorArray& kind : color_kinds) {
                PointCloudScene cloud;
                cloud.positions = positions->data();
                cloud.count = count;
                cloud.colors = kind;
                const std::size_t size = *point_cloud_scene_size(cloud);
                const std::size_t file = written_size(write_point_cloud_scene, cloud);
                EXPECT_TRUE(at_longest ? size == file : size > file) << count;
                MeshScene mesh;
                mesh.positions = positions->data();
                mesh.vertex_count = count;
                mesh.indices = indices.data();
                mesh.index_count = static_cast<std::uint32_t>(indices.size());
                mesh.colors = kind;
                const std::size_t mesh_size = *mesh_scene_size(mesh);
                const std::size_t mesh_file = written_size(write_mesh_scene, mesh);
                EXPECT_TRUE(at_longest ? mesh_size == mesh_file : mesh_size > mesh_file) << count;
            }
        }
    }
}

TEST(SceneSizes, RefuseWhatTheWritersRefuseBeforeReadingAnArray) {
    // No arrays at all: a writer that refuses these reads none first.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double box_lo[3] = {0, nan, 0}, box_hi[3] = {1, 1, 1};
    AtomScene atoms;
    atoms.count = 89478486;  // 24 bytes an atom: 2^31
    AtomScene spheres = atoms;
    spheres.style = AtomStyle::spheres;
    spheres.count = 178956971;  // 12 bytes an instance: 2^31
    AtomScene boxed = atoms;
    boxed.count = 10;
    boxed.box_lo = box_lo;
    boxed.box_hi = box_hi;
    AtomScene compressed_boxed = boxed;
    compressed_boxed.compression.enabled = true;
    AtomScene boxed_spheres = boxed;
    boxed_spheres.style = AtomStyle::spheres;
    PointCloudScene cloud;
    cloud.count = 134217728;  // 1.5 GiB of positions, and the colours' 0.5 GiB
    static const std::uint8_t given = 0;
    cloud.colors = {&given, ColorType::uint8, 3};
    MeshScene mesh;
    mesh.vertex_count = 89478486;  // positions and normals: 2^31
    mesh.index_count = 3;
    MeshScene unlit = mesh;
    unlit.vertex_count = 3;
    unlit.material.metallic = nan;
    MeshScene compressed_unlit = unlit;
    compressed_unlit.compression.enabled = true;
    for (const AtomScene* scene : {&atoms, &spheres, &boxed, &compressed_boxed, &boxed_spheres}) {
        const std::string expected = refusal([&] { atom_scene_size(*scene); });
        EXPECT_NE(expected, "");
        EXPECT_EQ(refusal([&] {
                      VectorOutput out;
                      write_atom_scene(*scene, out);
                  }),
                  expected);
    }
    const std::string cloud_refusal = refusal([&] { point_cloud_scene_size(cloud); });
    EXPECT_NE(cloud_refusal, "");
    EXPECT_EQ(refusal([&] {
                  VectorOutput out;
                  write_point_cloud_scene(cloud, out);
              }),
              cloud_refusal);
    for (const MeshScene* scene : {&mesh, &unlit, &compressed_unlit}) {
        const std::string expected = refusal([&] { mesh_scene_size(*scene); });
        EXPECT_NE(expected, "");
        EXPECT_EQ(refusal([&] {
                      VectorOutput out;
                      write_mesh_scene(*scene, out);
                  }),
                  expected);
    }
}
