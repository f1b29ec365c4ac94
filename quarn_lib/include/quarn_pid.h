#ifndef QUARN_PID_H
#define QUARN_PID_H

#include <cmath>
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace pid
{
namespace detail
{

/// Reads the local wall clock at microsecond resolution.
inline boost::posix_time::ptime localTime()
{
  return boost::posix_time::microsec_clock::local_time();
}

/// Clock read by every controller; tests point it at a fake clock and restore it afterwards.
// A constant initialiser, so controllers in static storage may read it during their own construction.
inline boost::posix_time::ptime (*now)() = &localTime;

}  // namespace detail

/// Single-axis PID controller with a clamped error integral, a clamped output, a bounded time step and an
/// optional low-pass filter on the derivative.
///
/// Control law for one step of dt seconds, error = setpoint - measure:
///   integral = clamp(integral + error * dt, integralMin, integralMax)
///   output   = clamp(kp * error + ki * integral + kd * (error - previousError) / dt, minAction, maxAction)
/// dt is capped at the largest period (4 s by default). A step with dt <= 0 leaves out the error * dt increment
/// and the derivative term: it has no rate to measure.
/// With a derivative filter of time constant tau > 0 (off by default), the derivative term is kd * rate, where
/// rate follows the error's rate through a first-order lag, discretised backward (implicit Euler):
///   rate = rate + dt / (tau + dt) * ((error - previousError) / dt - rate)
/// The filtered rate starts at 0 after init; a step with dt <= 0 leaves it as it is, and a rate that is not
/// finite reaches only its own step's output (the next step filters from 0 again).
///
///   pid::CPid depth;
///   depth.init(2.0, 0.5, 0.1, 0.05);              // hold 2 m
///   double thrust = depth.action(measuredDepth);  // time step from the wall clock since the last call
///
/// Not thread-safe: one thread per controller.
class CPid
{
public:
  /// Zero gains and set-point; integral in [-10, 10], output in [-1, 1], step at most 4 s; clock starts now.
  CPid() = default;

  /// Sets the set-point (caller's unit) and the gains, clears integral and previous error, restarts the clock.
  void init(double s, double p, double i, double d);

  /// Sets the integral bounds (unit * s), the output bounds and the largest time step (s); bounds are not checked.
  void config(double intMinE, double intMaxE, double minA, double maxA, double mET);

  /// Sets the derivative filter's time constant (s, >= 0; 0, the default, leaves the derivative unfiltered);
  /// keeps the filtered rate, so a change in the middle of a run does not jump.
  void setDerivativeFilter(double timeConstant) { derivativeFilter_ = timeConstant; }

  /// The derivative filter's time constant (s); 0 when the derivative is unfiltered.
  double derivativeFilter() const { return derivativeFilter_; }

  /// One step with a time step of T seconds (capped at the largest time step); returns the clamped output.
  double action(double measure, double T);

  /// One step with a time step of T whole milliseconds; same as action(measure, T / 1000.0).
  double action(double measure, long T) { return action(measure, static_cast<double>(T) / 1000.0); }

  /// One step timed by the wall clock since the last init or clock-driven step, truncated to whole milliseconds.
  double action(double measure);

  /// Changes the gains without a bump: p and d take effect from the next step, and the error integral is
  /// rescaled so that the integral term ki * integral is the same just before and just after the change:
  ///   integral = clamp(integral * ki_old / i, integralMin, integralMax)  if ki_old != 0 and i != 0
  ///   integral = 0                                                       if ki_old == 0 or i == 0
  /// An integral gain turned to 0 drops what was gathered; one turned on from 0 starts from an empty integral.
  /// Set-point, previous error, clock and limits are kept, so the next step has neither a derivative kick nor a
  /// long time step. An unchanged integral gain leaves the integral exactly as it is.
  void retune(double p, double i, double d);

  /// Writes the set-point and the proportional, integral and derivative gains of the last init or retune into s,
  /// p, i, d.
  void getConfig(double& s, double& p, double& i, double& d) const;

  /// The terms of one step, for plotting and tuning; their sum, clamped, is the step's output.
  struct Step
  {
    double proportional = 0.0;  ///< kp * error
    double integral = 0.0;      ///< ki * clamped error integral
    double derivative = 0.0;    ///< kd * (error - previous error) / dt, or kd * filtered rate; 0 if dt <= 0
    double dt = 0.0;            ///< time step used (s), after the cap at the largest time step
    bool clamped = false;       ///< the sum of the terms lay outside the output bounds
  };

  /// Terms of the last step of any form; all zero before the first step and after init. Judged against the
  /// current output bounds, should config have changed them since.
  Step lastStep() const;

private:
  /// max if value > max, else min if value < min, else value (a NaN passes through).
  static double saturate(double value, double min, double max) { return value > max ? max : value < min ? min : value; }

  /// Unclamped output for error after previous over dt (s) with the stored integral; its terms into terms.
  double law(double error, double previous, double dt, Step& terms) const;

  /// Moves the filtered rate toward the rate of error after the previous error over dt > 0 (s).
  void filterRate(double error, double dt);

  const double MAX_ERROR_INTEGRAL = 10.0;
  const double MIN_ERROR_INTEGRAL = -10.0;
  const double MAX_ACTION = 1.0;
  const double MIN_ACTION = -1.0;
  const double MAX_PERIOD = 4.0;

  double setpoint_ = 0.0;
  double kp_ = 0.0;
  double ki_ = 0.0;
  double kd_ = 0.0;
  double errorIntegral_ = 0.0;
  double error1_ = 0.0;
  boost::posix_time::ptime lastTime_ = detail::now();
  double integralMaxError_ = MAX_ERROR_INTEGRAL;
  double integralMinError_ = MIN_ERROR_INTEGRAL;
  double maxAction_ = MAX_ACTION;
  double minAction_ = MIN_ACTION;
  double maxElapsedTime_ = MAX_PERIOD;
  double derivativeFilter_ = 0.0;
  double filteredRate_ = 0.0;
  // What lastStep() needs beyond the state a step keeps anyway: the error before error1_ and the time step.
  double error2_ = 0.0;
  double lastDt_ = 0.0;
};

inline void CPid::init(double s, double p, double i, double d)
{
  setpoint_ = s;
  kp_ = p;
  ki_ = i;
  kd_ = d;
  errorIntegral_ = 0.0;
  error1_ = 0.0;
  lastTime_ = detail::now();
  error2_ = 0.0;
  lastDt_ = 0.0;
  filteredRate_ = 0.0;
}

inline void CPid::config(double intMinE, double intMaxE, double minA, double maxA, double mET)
{
  integralMinError_ = intMinE;
  integralMaxError_ = intMaxE;
  minAction_ = minA;
  maxAction_ = maxA;
  maxElapsedTime_ = mET;
}

inline void CPid::retune(double p, double i, double d)
{
  if (i != ki_)
  {
    errorIntegral_ =
        ki_ == 0.0 || i == 0.0 ? 0.0 : saturate(errorIntegral_ * ki_ / i, integralMinError_, integralMaxError_);
  }
  kp_ = p;
  ki_ = i;
  kd_ = d;
}

inline void CPid::getConfig(double& s, double& p, double& i, double& d) const
{
  s = setpoint_;
  p = kp_;
  i = ki_;
  d = kd_;
}

inline double CPid::action(double measure, double T)
{
  const double dt = T > maxElapsedTime_ ? maxElapsedTime_ : T;
  const double error = setpoint_ - measure;
  // Steps under a millisecond apart arrive as dt = 0 and a clock set back as dt < 0: dividing by such a step
  // gives NaN or a reversed integral, so it contributes only its proportional and integral terms.
  const bool timed = dt > 0.0;
  const double integral = timed ? errorIntegral_ + error * dt : errorIntegral_;
  errorIntegral_ = saturate(integral, integralMinError_, integralMaxError_);
  if (timed && derivativeFilter_ > 0.0)
  {
    filterRate(error, dt);
  }
  Step terms;
  const double u = law(error, error1_, dt, terms);
  error2_ = error1_;
  error1_ = error;
  lastDt_ = dt;
  return saturate(u, minAction_, maxAction_);
}

inline CPid::Step CPid::lastStep() const
{
  // The step's own law on the operands it kept, so the terms add up to its output exactly; storing the terms in
  // every step would slow it down for callers that never look.
  Step step;
  const double u = law(error1_, error2_, lastDt_, step);
  step.clamped = u > maxAction_ || u < minAction_;
  return step;
}

inline double CPid::law(double error, double previous, double dt, Step& terms) const
{
  terms.proportional = kp_ * error;
  terms.integral = ki_ * errorIntegral_;
  terms.dt = dt;
  double u = terms.proportional + terms.integral;
  if (dt > 0.0)
  {
    // The unfiltered form keeps its own order of operations, so its outputs stay what they always were.
    terms.derivative = derivativeFilter_ > 0.0 ? kd_ * filteredRate_ : kd_ * (error - previous) / dt;
    u += terms.derivative;
  }
  return u;
}

inline void CPid::filterRate(double error, double dt)
{
  // A rate that overflowed would stay in the filter for good: it is used once, then the filter starts over.
  const double previous = std::isfinite(filteredRate_) ? filteredRate_ : 0.0;
  const double rate = (error - error1_) / dt;
  filteredRate_ = previous + dt / (derivativeFilter_ + dt) * (rate - previous);
}

inline double CPid::action(double measure)
{
  const boost::posix_time::ptime now = detail::now();
  const std::int64_t elapsedUs = (now - lastTime_).total_microseconds();
  lastTime_ = now;
  return action(measure, static_cast<long>(elapsedUs / 1000));
}

}  // namespace pid

#endif  // QUARN_PID_H
