#include <memory>

#include "platform/audio/output_selection.h"
#include "platform/audio/paced_output.h"

namespace velmo {
namespace {

class NullOutput final : public PacedOutput {
 public:
  // The null output runs at the rate a sound card usually has.
  NullOutput() : PacedOutput(48000, 512) {}
  ~NullOutput() override { Close(); }

 protected:
  void Consume(const float*, std::size_t) override {}
};

}  // namespace

std::unique_ptr<AudioOutput> CreateNullOutput() { return std::make_unique<NullOutput>(); }

}  // namespace velmo
