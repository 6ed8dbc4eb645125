// A tiny back-end plugin, built as its own shared library, for the loader test.
#include <memory>

#include "kelvo/inference/registry.hpp"

namespace {

class LoaderTestInference final : public kelvo::ClassicStereoInferenceBase {
  public:
    static constexpr const char* LABEL = "Loader test";
    static constexpr bool NEURAL = false;
    explicit LoaderTestInference(kelvo::HeightWidth size) : ClassicStereoInferenceBase(size) {
        _rebuild_matcher();
    }
    static std::vector<kelvo::InferenceVariant> variants() {
        kelvo::InferenceVariant v;
        v.slug = "64x64";
        v.label = "64x64";
        v.inference_kwargs = {{"canvas_size", {64, 64}}};
        return {v};
    }
    static LoaderTestInference* create(const kelvo::InferenceVariant&,
                                       const kelvo::InferenceCreateOptions&) {
        return new LoaderTestInference({64, 64});
    }
    std::string label() const override { return "loader-test"; }

  protected:
    void _rebuild_matcher() override { _matcher = cv::StereoBM::create(16, 5); }
};

}  // namespace

KELVO_REGISTER_INFERENCE(LoaderTestInference, "loader-test")
