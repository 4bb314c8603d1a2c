// The compact layouts of the public builders, chosen by
// scene.compression.enabled in write_atom_scene, write_point_cloud_scene
// and write_mesh_scene. Same caller contracts and refusals as scenes.h; a
// position bit count outside 14..16 is refused with std::invalid_argument.
//
// Every file is glTF 2.0 with KHR_mesh_quantization and
// EXT_meshopt_compression, both required: POSITION as unsigned 16-bit
// integers (stride 8) whose bounds are the integers stored, dequantised by
// the translation and scale of the one node (see quantize.h for the error).
#pragma once

#include "glbcore.h"
#include "scenes.h"

namespace glbcore {

// Atoms in Morton order (as write_atom_scene), grouped by palette entry
// (types 7 and above share entry 7) with the Morton order kept inside each
// group: one POINTS primitive per chunk of a group, drawn with an unlit
// material (KHR_materials_unlit) whose base colour is the entry's.
void write_compact_atom_scene(const AtomScene& scene, OutputBuffer& out);

// Points in the fine Morton order (morton_refine.h) over the cube on their
// exact extents (or as given, with keep_input_order), one POINTS primitive
// per chunk, colours as normalised RGBA8. Positions use one step on all
// axes (that of the longest extent).
void write_compact_point_cloud_scene(const PointCloudScene& scene, OutputBuffer& out);

// One TRIANGLES primitive, reordered by meshoptimizer's vertex-cache and
// vertex-fetch optimisers; NORMAL as octahedral-filtered signed bytes,
// COLOR_0 as RGBA8, indices by the triangle codec (16-bit up to 65536
// vertices).
void write_compact_mesh_scene(const MeshScene& scene, OutputBuffer& out);

}  // namespace glbcore
