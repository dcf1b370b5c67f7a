#include <memory>

#include "platform/audio/outputs/output_selection.h"
#include "platform/audio/outputs/paced_output.h"

namespace velmo {
namespace {

class NullOutput final : public PacedOutput {
 public:
  explicit NullOutput(std::uint32_t rate) : PacedOutput(rate, 512) {}
  ~NullOutput() override { Close(); }

 protected:
  void Consume(const float*, std::size_t) override {}
};

}  // namespace

std::unique_ptr<AudioOutput> CreateNullOutput(std::uint32_t rate) { return std::make_unique<NullOutput>(rate); }

}  // namespace velmo
