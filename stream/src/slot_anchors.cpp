#include "kivo/slot_anchors.h"

#include "kivo/sequence_unwrap.h"

namespace kivo {

int64_t chained_datagram(int64_t previous, uint16_t previous_sequence, uint16_t sequence) {
  const int64_t forward = static_cast<uint16_t>(sequence - previous_sequence);
  return previous + (kSequenceWrap - forward <= kChainLateWindow ? forward - kSequenceWrap : forward);
}

SlotChain::SlotChain(int32_t nsamp, const std::vector<SlotAnchor>& anchors)
    : nsamp_(nsamp), anchors_(anchors) {}

int64_t SlotChain::next(uint16_t sequence) {
  datagram_ = slot_ == 0 ? int64_t{sequence} : chained_datagram(datagram_, sequence_, sequence);
  sequence_ = sequence;
  while (next_anchor_ < anchors_.size() && anchors_[next_anchor_].slot < slot_) ++next_anchor_;
  if (next_anchor_ < anchors_.size() && anchors_[next_anchor_].slot == slot_) {
    datagram_ = anchors_[next_anchor_].first_sample / nsamp_;
  }
  ++slot_;
  return datagram_ * nsamp_;
}

AnchorLog::AnchorLog(int32_t nsamp) : nsamp_(nsamp) { anchors_.reserve(kCapacity); }

void AnchorLog::note(uint16_t sequence, int64_t first_sample) {
  const int64_t placed = first_sample / nsamp_;
  const int64_t chained =
      chain_.started ? chained_datagram(chain_.datagram, chain_.sequence, sequence) : int64_t{sequence};
  if (placed != chained && anchors_.size() < kCapacity) anchors_.push_back({chain_.slot, first_sample});
  step(sequence, placed);
}

void AnchorLog::note_unplaced(uint16_t sequence) {
  step(sequence,
       chain_.started ? chained_datagram(chain_.datagram, chain_.sequence, sequence) : int64_t{sequence});
}

void AnchorLog::step(uint16_t sequence, int64_t datagram) {
  chain_.started = true;
  chain_.datagram = datagram;
  chain_.sequence = sequence;
  ++chain_.slot;
}

void AnchorLog::keep_block() {
  kept_ = chain_;
  kept_anchors_ = anchors_.size();
}

void AnchorLog::drop_block() {
  chain_ = kept_;
  anchors_.resize(kept_anchors_);
}

std::vector<SlotAnchor> AnchorLog::anchors() const {
  return std::vector<SlotAnchor>(anchors_.begin(), anchors_.begin() + static_cast<ptrdiff_t>(kept_anchors_));
}

}  // namespace kivo
