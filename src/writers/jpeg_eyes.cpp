#include "kelvo/writers/jpeg_eyes.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <jpeglib.h>

#include <opencv2/imgcodecs.hpp>

#include "core/jpeg_errors.hpp"

namespace kelvo {

namespace jpeg_eyes {

/// Larger images are refused before any memory is taken for them.
constexpr unsigned MAX_SIDE = 16384;
constexpr unsigned long long MAX_PIXELS = 64ull << 20;

using ErrorManager = detail::JpegErrors;

JDIMENSION div_up(long a, long b) {
    return static_cast<JDIMENSION>((a + b - 1) / b);
}
JDIMENSION round_up(long a, long b) {
    return static_cast<JDIMENSION>((a + b - 1) / b * b);
}

/// A run of block columns: `width` pixels of source `source` from column
/// `src_x` go to column `dst_x` of the output.
struct Placement {
    int source;
    unsigned src_x, dst_x, width;
};

/// One image to compose: its placements (by `dst_x`) and width; `aligned`
/// says whether it could be made block by block, `buffer` (malloc'd by
/// libjpeg, the caller's to free) holds it when it was.
struct Output {
    const Placement* places;
    int n_places;
    unsigned width;
    bool aligned;
    unsigned char* buffer;
    unsigned long size;
};

constexpr int MAX_OUTPUTS = 2;

/// The outputs composed of their placements by copying coefficient blocks,
/// the sources read once for all of them. Only plain C state lives between
/// setjmp and longjmp. An output is not aligned when a placement is off the
/// MCU grid or the sources differ in what a block means (components,
/// sampling, tables, height). False with `err.message` on a libjpeg error.
bool compose(const std::span<const std::uint8_t>* inputs, int n_inputs, Output* outputs,
             int n_outputs, ErrorManager& err) {
    jpeg_decompress_struct src[2];
    jpeg_compress_struct dst;
    volatile int created = 0;  // decompressors created so far
    volatile bool dst_created = false;
    jpeg_error_mgr* handlers = err.install(/*quiet=*/true);
    for (auto& s : src) s.err = handlers;
    dst.err = handlers;
    if (setjmp(err.jump)) {
        if (dst_created) jpeg_destroy_compress(&dst);
        for (int i = 0; i < created; ++i) jpeg_destroy_decompress(&src[i]);
        return false;
    }
    for (int i = 0; i < n_inputs; ++i) {
        jpeg_create_decompress(&src[i]);
        created = i + 1;
        jpeg_mem_src(&src[i], inputs[i].data(), static_cast<unsigned long>(inputs[i].size()));
        jpeg_read_header(&src[i], TRUE);
        const auto w = src[i].image_width, h = src[i].image_height;
        if (w == 0 || h == 0 || w > MAX_SIDE || h > MAX_SIDE ||
            static_cast<unsigned long long>(w) * h > MAX_PIXELS) {
            std::snprintf(err.message, sizeof err.message, "a %ux%u image is too large", w, h);
            std::longjmp(err.jump, 1);
        }
    }
    const jpeg_decompress_struct& first = src[0];
    const unsigned mcu_w = static_cast<unsigned>(first.max_h_samp_factor * DCTSIZE);
    bool same = true;
    for (int i = 1; i < n_inputs && same; ++i) {
        const jpeg_decompress_struct& s = src[i];
        same = s.num_components == first.num_components &&
               s.jpeg_color_space == first.jpeg_color_space && s.image_height == first.image_height;
        for (int c = 0; same && c < s.num_components; ++c) {
            const jpeg_component_info& a = first.comp_info[c];
            const jpeg_component_info& b = s.comp_info[c];
            const JQUANT_TBL* qa = first.quant_tbl_ptrs[a.quant_tbl_no];
            const JQUANT_TBL* qb = s.quant_tbl_ptrs[b.quant_tbl_no];
            same = a.h_samp_factor == b.h_samp_factor && a.v_samp_factor == b.v_samp_factor && qa &&
                   qb && std::memcmp(qa->quantval, qb->quantval, sizeof qa->quantval) == 0;
        }
    }
    bool any = false;
    for (int o = 0; o < n_outputs; ++o) {
        Output& out = outputs[o];
        out.aligned = same;
        for (int p = 0; p < out.n_places && out.aligned; ++p) {
            const Placement& place = out.places[p];
            out.aligned = place.src_x % mcu_w == 0 && place.dst_x % mcu_w == 0 &&
                          place.src_x + place.width <= src[place.source].image_width;
        }
        any = any || out.aligned;
    }
    if (!any) {
        for (int i = n_inputs - 1; i >= 0; --i) jpeg_destroy_decompress(&src[i]);
        created = 0;
        return true;
    }

    // The outputs' block arrays live in the first source's pool, requested
    // before its coefficients are read so that one allocation realises all.
    const int components = first.num_components;
    jvirt_barray_ptr* out_coefs[MAX_OUTPUTS] = {nullptr, nullptr};
    JDIMENSION out_blocks_w[MAX_OUTPUTS][MAX_COMPONENTS];
    for (int o = 0; o < n_outputs; ++o) {
        if (!outputs[o].aligned) continue;
        out_coefs[o] = static_cast<jvirt_barray_ptr*>((*src[0].mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(&src[0]), JPOOL_IMAGE,
            sizeof(jvirt_barray_ptr) * static_cast<std::size_t>(components)));
        for (int c = 0; c < components; ++c) {
            const jpeg_component_info& comp = first.comp_info[c];
            const JDIMENSION blocks =
                div_up(static_cast<long>(outputs[o].width) * comp.h_samp_factor,
                       first.max_h_samp_factor * DCTSIZE);
            out_blocks_w[o][c] = round_up(blocks, comp.h_samp_factor);
            out_coefs[o][c] = (*src[0].mem->request_virt_barray)(
                reinterpret_cast<j_common_ptr>(&src[0]), JPOOL_IMAGE, FALSE, out_blocks_w[o][c],
                round_up(comp.height_in_blocks, comp.v_samp_factor),
                static_cast<JDIMENSION>(comp.v_samp_factor));
        }
    }
    jvirt_barray_ptr* in_coefs[2] = {nullptr, nullptr};
    for (int i = 0; i < n_inputs; ++i) in_coefs[i] = jpeg_read_coefficients(&src[i]);

    for (int o = 0; o < n_outputs; ++o) {
        Output& out = outputs[o];
        if (!out.aligned) continue;
        jpeg_create_compress(&dst);
        dst_created = true;
        jpeg_mem_dest(&dst, &out.buffer, &out.size);
        jpeg_copy_critical_parameters(&src[0], &dst);
        dst.image_width = out.width;
        jpeg_write_coefficients(&dst, out_coefs[o]);
        for (int c = 0; c < components; ++c) {
            const jpeg_component_info& comp = first.comp_info[c];
            const JDIMENSION rows = round_up(comp.height_in_blocks, comp.v_samp_factor);
            const auto h = static_cast<unsigned>(comp.h_samp_factor);
            const JDIMENSION width_blocks = out_blocks_w[o][c];
            for (JDIMENSION r = 0; r < rows; ++r) {
                JBLOCKROW out_row = (*src[0].mem->access_virt_barray)(
                    reinterpret_cast<j_common_ptr>(&src[0]), out_coefs[o][c], r, 1, TRUE)[0];
                std::memset(out_row, 0, sizeof(JBLOCK) * width_blocks);
                for (int p = 0; p < out.n_places; ++p) {
                    const Placement& place = out.places[p];
                    jpeg_decompress_struct& s = src[place.source];
                    const jpeg_component_info& in_comp = s.comp_info[c];
                    const JDIMENSION in_w =
                        round_up(in_comp.width_in_blocks, in_comp.h_samp_factor);
                    const JDIMENSION from = place.src_x * h / mcu_w;
                    const JDIMENSION to = place.dst_x * h / mcu_w;
                    // A run ends where the next begins (on the grid); the last
                    // one fills the output's padding with what the source has.
                    JDIMENSION count = p + 1 < out.n_places
                                           ? (out.places[p + 1].dst_x - place.dst_x) * h / mcu_w
                                           : width_blocks - to;
                    if (from + count > in_w) count = in_w > from ? in_w - from : 0;
                    if (to + count > width_blocks) count = width_blocks - to;
                    JBLOCKROW in_row =
                        (*s.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&s),
                                                     in_coefs[place.source][c], r, 1, FALSE)[0];
                    std::memcpy(out_row + to, in_row + from, sizeof(JBLOCK) * count);
                }
            }
        }
        jpeg_finish_compress(&dst);
        jpeg_destroy_compress(&dst);
        dst_created = false;
    }
    for (int i = n_inputs - 1; i >= 0; --i) {
        jpeg_finish_decompress(&src[i]);
        jpeg_destroy_decompress(&src[i]);
    }
    created = 0;
    return true;
}

/// compose(), each output taken into a string; an empty string for an
/// output that is not on the block grid.
std::vector<std::string> compose_blocks(const std::vector<std::span<const std::uint8_t>>& inputs,
                                        const std::vector<std::vector<Placement>>& images,
                                        const std::vector<unsigned>& widths) {
    Output outputs[MAX_OUTPUTS];
    const int n = static_cast<int>(images.size());
    for (int o = 0; o < n; ++o) {
        outputs[o] = {
            images[o].data(), static_cast<int>(images[o].size()), widths[o], false, nullptr, 0};
    }
    ErrorManager err{};
    const bool ok = compose(inputs.data(), static_cast<int>(inputs.size()), outputs, n, err);
    std::vector<std::string> out(images.size());
    for (int o = 0; o < n; ++o) {
        if (ok && outputs[o].aligned) {
            out[o].assign(reinterpret_cast<const char*>(outputs[o].buffer), outputs[o].size);
        }
        std::free(outputs[o].buffer);
    }
    if (!ok) throw std::invalid_argument(std::string("not a readable JPEG: ") + err.message);
    return out;
}

/// Width and height from the header alone.
std::pair<unsigned, unsigned> jpeg_size(std::span<const std::uint8_t> jpeg) {
    jpeg_decompress_struct cinfo;
    ErrorManager err{};
    cinfo.err = err.install(/*quiet=*/true);
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        throw std::invalid_argument(std::string("not a readable JPEG: ") + err.message);
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    const std::pair<unsigned, unsigned> size{cinfo.image_width, cinfo.image_height};
    jpeg_destroy_decompress(&cinfo);
    return size;
}

std::string encode(const cv::Mat& image, int quality) {
    std::vector<unsigned char> out;
    if (!cv::imencode(".jpg", image, out, {cv::IMWRITE_JPEG_QUALITY, quality})) {
        throw std::runtime_error("JPEG encoding failed");
    }
    return {reinterpret_cast<const char*>(out.data()), out.size()};
}

}  // namespace jpeg_eyes

cv::Mat decode_image(std::span<const std::uint8_t> data) {
    const cv::Mat bytes(1, static_cast<int>(data.size()), CV_8U,
                        const_cast<std::uint8_t*>(data.data()));
    cv::Mat image = data.empty() ? cv::Mat() : cv::imdecode(bytes, cv::IMREAD_COLOR);
    if (image.empty()) throw std::invalid_argument("the image does not decode");
    return image;
}

EyeJpegs split_eyes(std::span<const std::uint8_t> jpeg, int quality) {
    using namespace jpeg_eyes;
    const auto [width, height] = jpeg_size(jpeg);
    if (width % 2 != 0) {
        throw std::invalid_argument("a side-by-side frame " + std::to_string(width) +
                                    " pixels wide cannot be split into two eyes");
    }
    const unsigned half = width / 2;
    EyeJpegs out;
    auto eyes = compose_blocks({jpeg}, {{{0, 0, 0, half}}, {{0, half, 0, half}}}, {half, half});
    out.left = std::move(eyes[0]);
    out.right = std::move(eyes[1]);
    out.left_lossless = !out.left.empty();
    out.right_lossless = !out.right.empty();
    if (!out.left_lossless || !out.right_lossless) {
        const cv::Mat frame = decode_image(jpeg);
        const auto h = static_cast<int>(height), w = static_cast<int>(half);
        if (!out.left_lossless) out.left = encode(frame(cv::Rect(0, 0, w, h)), quality);
        if (!out.right_lossless) out.right = encode(frame(cv::Rect(w, 0, w, h)), quality);
    }
    return out;
}

JoinedJpeg join_eyes(std::span<const std::uint8_t> left, std::span<const std::uint8_t> right,
                     int quality) {
    using namespace jpeg_eyes;
    const auto [lw, lh] = jpeg_size(left);
    const auto [rw, rh] = jpeg_size(right);
    if (lw != rw || lh != rh) {
        throw std::invalid_argument("the left eye is " + std::to_string(lw) + "x" +
                                    std::to_string(lh) + ", the right " + std::to_string(rw) + "x" +
                                    std::to_string(rh));
    }
    JoinedJpeg out;
    out.jpeg =
        std::move(compose_blocks({left, right}, {{{0, 0, 0, lw}, {1, 0, lw, rw}}}, {lw + rw})[0]);
    out.lossless = !out.jpeg.empty();
    if (!out.lossless) out.jpeg = join_images(decode_image(left), decode_image(right), quality);
    return out;
}

std::string join_images(const cv::Mat& left, const cv::Mat& right, int quality) {
    if (left.size() != right.size() || left.type() != right.type() || left.depth() != CV_8U ||
        (left.channels() != 1 && left.channels() != 3)) {
        throw std::invalid_argument("the eyes must be 8-bit BGR or grey images of one size");
    }
    cv::Mat frame;
    cv::hconcat(left, right, frame);
    return jpeg_eyes::encode(frame, quality);
}

}  // namespace kelvo
