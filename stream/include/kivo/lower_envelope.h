// The lower envelope of points that arrive in order of x: the line under all
// of them that lies closest to them in sum. A receive stamp is the true time
// plus a delay that is never negative, so the points with the least delay
// bound the true line from above and this line is its estimate; unlike a
// least-squares line, bursts and stalls above it do not move it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivo {

// y = intercept + slope * x; not valid until two points span it.
struct EnvelopeLine {
  double intercept = 0;
  double slope = 0;
  bool valid = false;

  double at(double x) const { return intercept + slope * x; }
};

// One thread at a time. Memory is taken at construction only: add() never
// allocates.
class LowerEnvelope {
 public:
  // Keeps at most `capacity` vertices of the lower convex hull (at least 8).
  // Random delays leave a few dozen; a clock that drifts along a curve can
  // fill it. A full hull drops every other vertex away from the supporting
  // edge, which keeps the line and raises the envelope where the line will
  // never again rest.
  explicit LowerEnvelope(size_t capacity = 1024);

  void clear();
  // Adds a point; x must exceed the x of every point added before.
  void add(double x, double y);
  // Counts `count` points with x-sum `sum_x` that lie above the envelope and
  // to the right of every point added, without adding them: they would
  // leave the hull before the next point that lies near the line anyway.
  void count_points_above(uint64_t count, double sum_x);

  uint64_t points() const { return points_; }
  double first_x() const { return first_x_; }
  double last_x() const { return last_x_; }
  double last_y() const { return last_y_; }

  // The line under every point with the least summed distance to them: the
  // hull's edge across the points' mean x.
  const EnvelopeLine& line() const { return line_; }

 private:
  struct Vertex {
    double x;
    double y;
  };
  void thin();
  void move_to_mean();
  void update_line();

  std::vector<Vertex> hull_;  // the first `size_` entries are the hull, left to right
  size_t size_ = 0;
  size_t edge_ = 0;  // left vertex of the supporting edge
  EnvelopeLine line_;
  uint64_t points_ = 0;
  double sum_x_ = 0;
  double first_x_ = 0;
  double last_x_ = 0;
  double last_y_ = 0;
};

}  // namespace kivo
