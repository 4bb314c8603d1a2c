// Compressed files do not depend on the number of encoding workers nor on
// the alignment of the points, and refuse a position bit count outside 14..16.
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "glbcore.h"
#include "scenes.h"

using namespace glbcore;

namespace {

template <class Scene, class Write>
std::vector<GlbBytes> files_for_worker_counts(Scene scene, Write write) {
    std::vector<GlbBytes> files;
    for (const unsigned workers : {1u, 2u, 7u}) {
        scene.workers = workers;
        VectorOutput out;
        write(scene, out);
        files.push_back(out.take());
    }
    return files;
}

}  // namespace

TEST(Compressed, FilesAreTheSameForEveryWorkerCount) {
    const std::uint32_t count = 700000;  // several chunks per palette entry
    std::mt19937 random(3);
    std::uniform_real_distribution<float> coordinate(-5.0f, 5.0f);
    std::vector<float> positions(3 * count);
    for (float& p : positions) p = coordinate(random);
    std::vector<std::uint16_t> types(count);
    for (std::uint32_t i = 0; i < count; ++i) types[i] = static_cast<std::uint16_t>(random() % 3);
    std::vector<std::uint8_t> colors(4 * std::size_t{count});
    for (std::uint8_t& c : colors) c = static_cast<std::uint8_t>(random());
    std::vector<std::uint32_t> faces(3 * (count - 2));
    for (std::uint32_t t = 0; t + 2 < count; ++t)
        faces[3 * t] = t, faces[3 * t + 1] = t + 1, faces[3 * t + 2] = t + 2;

    AtomScene atoms;
    atoms.positions = positions.data();
    atoms.count = count;
    atoms.types = types.data();
    atoms.compression.enabled = true;
    PointCloudScene cloud;
    cloud.positions = positions.data();
    cloud.count = count;
    cloud.colors = ColorArray{colors.data(), ColorType::uint8, 4};
    cloud.compression.enabled = true;
    // Some 500 points to a cell: refined chunks start where a cell starts.
    std::vector<float> clumped(positions);
    for (float& p : clumped) p = std::round(p) + p * 1e-3f;
    PointCloudScene clumped_cloud = cloud;
    clumped_cloud.positions = clumped.data();
    MeshScene mesh;
    mesh.positions = positions.data();
    mesh.vertex_count = count;
    mesh.indices = faces.data();
    mesh.index_count = static_cast<std::uint32_t>(faces.size());
    mesh.colors = cloud.colors;
    mesh.compression.enabled = true;
    for (const auto& files : {files_for_worker_counts(atoms, write_atom_scene),
                              files_for_worker_counts(cloud, write_point_cloud_scene),
                              files_for_worker_counts(clumped_cloud, write_point_cloud_scene),
                              files_for_worker_counts(mesh, write_mesh_scene)}) {
        EXPECT_GT(files[0].size(), 1000u);
        EXPECT_EQ(files[0], files[1]);
        EXPECT_EQ(files[0], files[2]);
    }

    cloud.compression.position_bits = 13;
    VectorOutput out;
    try {
        write_point_cloud_scene(cloud, out);
        FAIL() << "13 bits were accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "position_bits = 13 is outside 14..16");
    }
}

// Callers' arrays may start at any address: points one byte off a float's
// alignment give the same files, in the given order and in Morton order
// (the sanitizer build also catches a misaligned load).
TEST(Compressed, MisalignedPointsGiveTheSameFile) {
    const std::uint32_t count = 1000;
    std::vector<float> positions(3 * count);
    for (std::uint32_t i = 0; i < 3 * count; ++i) positions[i] = static_cast<float>(i * 37 % 101);
    std::vector<std::uint8_t> shifted(positions.size() * sizeof(float) + 1);
    std::memcpy(shifted.data() + 1, positions.data(), positions.size() * sizeof(float));
    for (const bool keep_input_order : {true, false}) {
        PointCloudScene cloud;
        cloud.count = count;
        cloud.compression.enabled = true;
        cloud.keep_input_order = keep_input_order;
        VectorOutput aligned, misaligned;
        cloud.positions = positions.data();
        write_point_cloud_scene(cloud, aligned);
        cloud.positions = reinterpret_cast<const float*>(shifted.data() + 1);
        write_point_cloud_scene(cloud, misaligned);
        EXPECT_EQ(aligned.take(), misaligned.take());
    }
}
