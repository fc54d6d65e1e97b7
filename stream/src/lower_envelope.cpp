// The lower convex hull kept as a stack (Andrew's monotone chain, one side),
// and the supporting edge tracked as the mean x moves right.
#include "kivo/lower_envelope.h"

#include <algorithm>

namespace kivo {
namespace {

// Enough that thinning always frees a vertex besides the supporting edge.
constexpr size_t kSmallestCapacity = 8;

}  // namespace

LowerEnvelope::LowerEnvelope(size_t capacity) : hull_(std::max(capacity, kSmallestCapacity)) {}

void LowerEnvelope::clear() {
  size_ = 0;
  edge_ = 0;
  line_ = EnvelopeLine{};
  points_ = 0;
  sum_x_ = 0;
  first_x_ = last_x_ = last_y_ = 0;
}

void LowerEnvelope::add(double x, double y) {
  if (points_ == 0) first_x_ = x;
  ++points_;
  sum_x_ += x;
  last_x_ = x;
  last_y_ = y;
  // A vertex on or above the chord from its left neighbour to the new point
  // is no longer on the lower hull.
  Vertex* const hull = hull_.data();
  size_t size = size_;
  while (size >= 2) {
    const Vertex& a = hull[size - 2];
    const Vertex& b = hull[size - 1];
    if ((b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x) > 0) break;
    --size;
  }
  size_ = size;
  const bool thinned = size_ == hull_.size();
  if (thinned) thin();
  const size_t added = size_;
  hull_[size_++] = Vertex{x, y};
  const size_t edge_before = edge_;
  move_to_mean();
  // The line changes only with its edge or the edge's vertices.
  if (thinned || edge_ != edge_before || edge_ + 1 >= added) update_line();
}

void LowerEnvelope::count_points_above(uint64_t count, double sum_x) {
  points_ += count;
  sum_x_ += sum_x;
  const size_t edge_before = edge_;
  move_to_mean();
  if (edge_ != edge_before) update_line();
}

// Every other vertex goes, first left of the supporting edge: the mean only
// moves right, so the edges there never support the line again (they can
// only end one, after a low point pops the vertices right of them). The
// supporting edge's own ends stay, so the line stays what it was. A subset of
// a convex chain's vertices is still a convex chain.
void LowerEnvelope::thin() {
  const size_t left_end = edge_;
  // Too few vertices left of the edge to free enough: the right side too.
  const bool thin_right = left_end / 2 < hull_.size() / 8;
  size_t kept = 0;
  for (size_t i = 0; i < left_end; i += 2) hull_[kept++] = hull_[i];
  edge_ = kept;
  hull_[kept++] = hull_[left_end];
  hull_[kept++] = hull_[left_end + 1];
  for (size_t i = left_end + 2; i + 1 < size_; ++i) {
    if (!thin_right || (i - left_end) % 2 == 0) hull_[kept++] = hull_[i];
  }
  if (left_end + 2 < size_) hull_[kept++] = hull_[size_ - 1];
  size_ = kept;
}

// The mean x only grows, and popped vertices lie right of it or were the
// supporting edge's end, so the edge moves back only to the hull's end and
// forward by a step now and then. (x <= mean, as x * count <= sum.)
void LowerEnvelope::move_to_mean() {
  if (size_ < 2) return;
  if (edge_ > size_ - 2) edge_ = size_ - 2;
  const auto count = static_cast<double>(points_);
  while (edge_ + 2 < size_ && hull_[edge_ + 1].x * count <= sum_x_) ++edge_;
}

void LowerEnvelope::update_line() {
  if (size_ < 2) {
    line_ = EnvelopeLine{};
    return;
  }
  const Vertex& a = hull_[edge_];
  const Vertex& b = hull_[edge_ + 1];
  const double slope = (b.y - a.y) / (b.x - a.x);
  line_ = EnvelopeLine{a.y - slope * a.x, slope, true};
}

}  // namespace kivo
