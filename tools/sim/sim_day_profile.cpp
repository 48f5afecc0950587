#include "sim_day_profile.h"

#include <cmath>

namespace zavo {
namespace sim {

DayProfile::DayProfile(double scale) : scale_(scale > 0 ? scale : 1) {
  // A floor of steady trading, the opening rush fading over the first half
  // hour, the afternoon build-up into the close, and the closing minutes'
  // burst. Normalised afterwards, so only the proportions matter.
  double sum = 0;
  for (int m = 0; m < kTradingMinutes; ++m) {
    const double t = m + 0.5;
    const double to_close = kTradingMinutes - t;
    double f = 0.45 + 2.4 * std::exp(-t / 12.0) + 0.6 * std::exp(-to_close / 40.0) +
               1.2 * std::exp(-to_close / 4.0);
    factor_[m] = f;
    sum += f;
  }
  const double mean = sum / kTradingMinutes;
  for (double& f : factor_) f /= mean;
}

double DayProfile::Minute(double wall_s) const {
  if (wall_s < 0) wall_s = 0;
  return std::fmod(wall_s * scale_ / 60.0, static_cast<double>(kTradingMinutes));
}

double DayProfile::FactorAtMinute(double minute) const {
  int m = static_cast<int>(minute);
  if (m < 0) m = 0;
  if (m >= kTradingMinutes) m = m % kTradingMinutes;
  return factor_[m];
}

double DayProfile::Factor(double wall_s) const {
  return FactorAtMinute(Minute(wall_s));
}

}  // namespace sim
}  // namespace zavo
