#pragma once
// DayProfile: the shape of a trading day's message rate, compressed in time.
// The 240 minutes of continuous trading (the lunch break left out) are busy
// at the open, quiet at midday and busy again towards the close; the factor
// averages 1 over the day, so the mean rate stays the configured one. Past
// the close the next day begins.
#include <array>

namespace zavo {
namespace sim {

class DayProfile {
 public:
  static constexpr int kTradingMinutes = 240;

  // `scale`: simulated seconds per wall second (4: a day in one hour).
  explicit DayProfile(double scale);

  // The minute of the trading day (0 to 239.99...) `wall_s` seconds after
  // the start, which is the open.
  double Minute(double wall_s) const;
  // The rate factor at that time.
  double Factor(double wall_s) const;
  // The factor at a minute of the trading day.
  double FactorAtMinute(double minute) const;

 private:
  double scale_;
  std::array<double, kTradingMinutes> factor_{};
};

}  // namespace sim
}  // namespace zavo
