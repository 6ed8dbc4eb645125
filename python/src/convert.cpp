// Conversions between Python values and the kit's JSON, matrices and pairs.
#include <atomic>
#include <cstdint>
#include <vector>

#include <nanobind/stl/string.h>

#include "kelvo/errors.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "native.hpp"

namespace kelvo::py {

namespace {
std::atomic<bool> g_alive{true};

nb::dlpack::dtype dtype_of_depth(int depth) {
    switch (depth) {
        case CV_8U:
            return nb::dtype<std::uint8_t>();
        case CV_8S:
            return nb::dtype<std::int8_t>();
        case CV_16U:
            return nb::dtype<std::uint16_t>();
        case CV_16S:
            return nb::dtype<std::int16_t>();
        case CV_32S:
            return nb::dtype<std::int32_t>();
        case CV_32F:
            return nb::dtype<float>();
        case CV_64F:
            return nb::dtype<double>();
        case CV_16F:
            return {static_cast<std::uint8_t>(nb::dlpack::dtype_code::Float), 16, 1};
        default:
            throw RuntimeError("matrix of an element type NumPy does not take");
    }
}

int depth_of_dtype(nb::dlpack::dtype dt) {
    using code = nb::dlpack::dtype_code;
    const auto c = static_cast<code>(dt.code);
    if (dt.lanes != 1) throw nb::type_error("vector element types are not supported");
    if (c == code::UInt && dt.bits == 8) return CV_8U;
    if (c == code::Int && dt.bits == 8) return CV_8S;
    if (c == code::UInt && dt.bits == 16) return CV_16U;
    if (c == code::Int && dt.bits == 16) return CV_16S;
    if (c == code::Int && dt.bits == 32) return CV_32S;
    if (c == code::Float && dt.bits == 16) return CV_16F;
    if (c == code::Float && dt.bits == 32) return CV_32F;
    if (c == code::Float && dt.bits == 64) return CV_64F;
    if (c == code::Bool && dt.bits == 8) return CV_8U;
    throw nb::type_error("array element type has no matrix equivalent");
}

using AnyArray = nb::ndarray<nb::ro, nb::device::cpu>;

/// Matrices that borrow a NumPy array's memory: the array is released (under
/// the interpreter lock) when the last matrix referring to it goes away,
/// whichever thread that is.
class ArrayOwnerAllocator final : public cv::MatAllocator {
  public:
    cv::UMatData* allocate(int, const int*, int, void*, size_t*, cv::AccessFlag,
                           cv::UMatUsageFlags) const override {
        return nullptr;  // never allocates: only wraps
    }
    bool allocate(cv::UMatData*, cv::AccessFlag, cv::UMatUsageFlags) const override {
        return false;
    }
    void deallocate(cv::UMatData* u) const override {
        if (u == nullptr) return;
        auto* held = static_cast<AnyArray*>(u->userdata);
        if (python_alive()) {
            nb::gil_scoped_acquire gil;
            delete held;
        }  // else: the interpreter is gone; leave the array to it
        delete u;
    }
};

ArrayOwnerAllocator& array_allocator() {
    static auto* allocator = new ArrayOwnerAllocator();  // outlives every matrix
    return *allocator;
}
}  // namespace

bool python_alive() {
    return g_alive.load() && nb::is_alive();
}
void mark_python_finalizing() {
    g_alive.store(false);
}

PyRef::PyRef(nb::handle object) : _object(object.ptr()) {
    Py_XINCREF(_object);
}
PyRef::~PyRef() {
    if (_object == nullptr || !python_alive()) return;
    nb::gil_scoped_acquire gil;
    Py_DECREF(_object);
}

Json to_json(nb::handle value) {
    if (value.is_none()) return nullptr;
    if (nb::isinstance<nb::bool_>(value)) return nb::cast<bool>(value);
    if (nb::isinstance<nb::int_>(value)) return nb::cast<std::int64_t>(value);
    if (nb::isinstance<nb::float_>(value)) return nb::cast<double>(value);
    if (nb::isinstance<nb::str>(value)) return nb::cast<std::string>(value);
    if (nb::isinstance<nb::dict>(value)) {
        Json out = Json::object();
        for (auto [k, v] : nb::borrow<nb::dict>(value)) {
            if (!nb::isinstance<nb::str>(k)) throw nb::type_error("JSON object keys must be str");
            out[nb::cast<std::string>(k)] = to_json(v);
        }
        return out;
    }
    if (nb::isinstance<nb::list>(value) || nb::isinstance<nb::tuple>(value)) {
        Json out = Json::array();
        for (nb::handle item : value) out.push_back(to_json(item));
        return out;
    }
    throw nb::type_error(
        ("not a JSON value: " + nb::cast<std::string>(nb::repr(value.type()))).c_str());
}

nb::object from_json(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null:
            return nb::none();
        case Json::value_t::boolean:
            return nb::bool_(value.get<bool>());
        case Json::value_t::number_integer:
            return nb::int_(value.get<std::int64_t>());
        case Json::value_t::number_unsigned:
            return nb::steal(PyLong_FromUnsignedLongLong(value.get<std::uint64_t>()));
        case Json::value_t::number_float:
            return nb::float_(value.get<double>());
        case Json::value_t::string:
            return nb::str(value.get_ref<const std::string&>().c_str());
        case Json::value_t::array: {
            nb::list out;
            for (const auto& item : value) out.append(from_json(item));
            return out;
        }
        case Json::value_t::object: {
            nb::dict out;
            for (const auto& [k, v] : value.items()) out[nb::str(k.c_str())] = from_json(v);
            return out;
        }
        default:
            throw nb::type_error("JSON value of an unsupported kind");
    }
}

nb::dict timings_dict(const StageTimings& t) {
    nb::dict d;
    d["decode_ms"] = t.decode_ms;
    d["rectify_ms"] = t.rectify_ms;
    d["canvas_ms"] = t.canvas_ms;
    d["inference_ms"] = t.inference_ms;
    d["map_back_ms"] = t.map_back_ms;
    d["total_ms"] = t.total_ms;
    return d;
}

nb::object mat_to_numpy(const cv::Mat& mat) {
    if (mat.empty()) return nb::none();
    const auto dt = dtype_of_depth(mat.depth());
    const auto elem = static_cast<std::int64_t>(mat.elemSize1());
    std::vector<size_t> shape;
    std::vector<std::int64_t> strides;
    for (int i = 0; i < mat.dims; ++i) {
        shape.push_back(static_cast<size_t>(mat.size[i]));
        strides.push_back(static_cast<std::int64_t>(mat.step[i]) / elem);
    }
    if (mat.channels() > 1) {
        shape.push_back(static_cast<size_t>(mat.channels()));
        strides.push_back(1);
    }
    auto* keep = new cv::Mat(mat);  // shares the data: the array holds the matrix
    nb::capsule owner(keep, [](void* p) noexcept { delete static_cast<cv::Mat*>(p); });
    nb::ndarray<nb::numpy> array(keep->data, shape.size(), shape.data(), owner, strides.data(), dt);
    return nb::cast(array, nb::rv_policy::reference);
}

cv::Mat numpy_to_mat(nb::handle object, bool as_image) {
    auto array = nb::cast<AnyArray>(object);
    const int depth = depth_of_dtype(array.dtype());
    std::vector<int> sizes;
    for (size_t i = 0; i < array.ndim(); ++i) sizes.push_back(static_cast<int>(array.shape(i)));
    int channels = 1;
    if (as_image && sizes.size() == 3) {
        channels = sizes.back();
        sizes.pop_back();
    }
    if (sizes.empty() || channels > CV_CN_MAX) throw nb::value_error("array shape not usable");
    // C-contiguous: borrow the memory; otherwise copy element by element.
    bool contiguous = true;
    std::int64_t expected = 1;
    for (size_t i = array.ndim(); i-- > 0;) {
        if (array.shape(i) != 1 && array.stride(i) != expected) contiguous = false;
        expected *= static_cast<std::int64_t>(array.shape(i));
    }
    const int type = CV_MAKETYPE(depth, channels);
    if (contiguous) {
        cv::Mat mat(static_cast<int>(sizes.size()), sizes.data(), type,
                    const_cast<void*>(array.data()));
        auto* u = new cv::UMatData(&array_allocator());
        u->data = u->origdata = mat.data;
        u->size = mat.total() * mat.elemSize();
        u->userdata = new AnyArray(array);
        u->refcount = 1;
        u->currAllocator = &array_allocator();
        mat.u = u;
        mat.allocator = &array_allocator();
        return mat;
    }
    nb::object contiguous_copy =
        nb::module_::import_("numpy").attr("ascontiguousarray")(nb::borrow(object));
    cv::Mat borrowed = numpy_to_mat(contiguous_copy, as_image);
    return borrowed.clone();
}

nb::tuple hw_tuple(HeightWidth hw) {
    return nb::make_tuple(hw.height, hw.width);
}

HeightWidth hw_from(nb::handle pair) {
    auto seq = nb::cast<nb::sequence>(pair);
    if (nb::len(seq) != 2) throw nb::value_error("expected a (height, width) pair");
    return {nb::cast<int>(seq[0]), nb::cast<int>(seq[1])};
}

void raise_runtime(const std::string& message) {
    throw RuntimeError(message);
}

}  // namespace kelvo::py
