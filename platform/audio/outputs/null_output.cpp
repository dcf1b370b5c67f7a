#include <memory>

#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/paced_output.h"

namespace velmo {
namespace {

class NullOutput final : public PacedOutput {
 public:
  NullOutput(std::uint32_t rate, std::uint32_t period) : PacedOutput(rate, period) {}
  ~NullOutput() override { Close(); }

 protected:
  void Consume(const float*, std::size_t) override {}
};

}  // namespace

std::unique_ptr<AudioOutput> CreateNullOutput(std::uint32_t rate, std::uint32_t periodFrames) {
  return std::make_unique<NullOutput>(rate, periodFrames);
}

}  // namespace velmo
