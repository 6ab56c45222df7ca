#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "tarn/interpolate.hpp"
#include "tarn/interpolate_methods.hpp"

using tarn::interp::fill_matrix;
using tarn::interp::fill_series;
using tarn::interp::Method;
using tarn::interp::Options;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

Options opts(Method m, int order = 3, bool ends = true) {
  Options o;
  o.method = m;
  o.order = order;
  o.fill_ends = ends;
  return o;
}

// Uneven time axis with gaps of several lengths inside.
struct Case {
  std::vector<double> x;
  std::vector<bool> hole;
};

// Gaps well inside, so the local methods find their points spread on both sides.
Case uneven_case() {
  Case c;
  double t = 0.0;
  for (int i = 0; i < 200; ++i) {
    c.x.push_back(t);
    t += 0.5 + 0.25 * (i % 3);
    c.hole.push_back(i == 53 || (i >= 70 && i <= 73) || i == 90 || i == 91 ||
                     (i >= 120 && i <= 126));
  }
  return c;
}

// Each method reproduces exactly the polynomials of the degree it is built on.
struct Exactness {
  Method method;
  int order;
  int degree;
};

class Reproduces : public ::testing::TestWithParam<Exactness> {};

TEST_P(Reproduces, PolynomialOfItsDegree) {
  const auto p = GetParam();
  Case c = uneven_case();
  auto f = [&](double v) {
    double s = 1.5, pw = 1.0;
    for (int d = 1; d <= p.degree; ++d) {
      pw *= (v - 80.0) / 80.0;
      s += (d % 2 ? 0.7 : -0.4) * pw;
    }
    return s;
  };
  std::vector<double> y(c.x.size());
  for (std::size_t i = 0; i < y.size(); ++i) y[i] = c.hole[i] ? NaN : f(c.x[i]);
  fill_series(c.x.data(), y.data(), y.size(), opts(p.method, p.order));
  for (std::size_t i = 0; i < y.size(); ++i) {
    EXPECT_NEAR(y[i], f(c.x[i]), 1e-9) << tarn::interp::method_name(p.method) << " at " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, Reproduces,
    ::testing::Values(Exactness{Method::linear, 0, 1}, Exactness{Method::cubic, 0, 1},
                      Exactness{Method::akima, 0, 1}, Exactness{Method::quadratic, 0, 2},
                      Exactness{Method::barycentric, 0, 3}, Exactness{Method::polynomial, 4, 4},
                      Exactness{Method::spline, 2, 2}, Exactness{Method::spline, 3, 3},
                      Exactness{Method::spline, 5, 5}));

TEST(Interpolate, WideGapsStayWithinTheData) {
  const double kPi = std::acos(-1.0);
  for (int len : {6, 12, 24, 48, 100}) {
    std::vector<double> y(200);
    for (int i = 0; i < 200; ++i)
      y[i] = (i >= 80 && i < 80 + len) ? NaN : std::sin(2 * kPi * i / 12.0);
    for (Method m : {Method::quadratic, Method::barycentric, Method::polynomial, Method::linear}) {
      auto z = y;
      fill_series(nullptr, z.data(), z.size(), opts(m, 5));
      for (int i = 80; i < 80 + len; ++i)
        ASSERT_LE(std::fabs(z[i]), 1.0) << tarn::interp::method_name(m) << " gap " << len;
    }
  }
}

TEST(Interpolate, LinearFollowsTheTimeAxisNotThePositions) {
  std::vector<double> x{0, 1, 10};
  std::vector<double> y{0, NaN, 10};
  fill_series(x.data(), y.data(), 3, opts(Method::linear));
  EXPECT_DOUBLE_EQ(y[1], 1.0);
  std::vector<double> z{0, NaN, 10};
  fill_series(nullptr, z.data(), 3, opts(Method::linear));
  EXPECT_DOUBLE_EQ(z[1], 5.0);
}

TEST(Interpolate, NaturalCubicMatchesHandComputedValue) {
  // Natural spline through (0,0), (1,1), (2,0): M1 = -3, s(0.5) = 0.5 + (0.125-0.5)(-3)/6.
  std::vector<double> x{0, 0.5, 1, 1.5, 2};
  std::vector<double> y2{0, NaN, 1, NaN, 0};
  fill_series(x.data(), y2.data(), 5, opts(Method::cubic));
  EXPECT_NEAR(y2[1], 0.6875, 1e-12);
  EXPECT_NEAR(y2[3], 0.6875, 1e-12);
}

TEST(Interpolate, StepMethods) {
  std::vector<double> base{NaN, 1, NaN, NaN, 4, NaN};
  auto run = [&](Method m, bool ends) {
    auto y = base;
    Options o = opts(m, 3, ends);
    o.fill_value = -7;
    fill_series(nullptr, y.data(), y.size(), o);
    return y;
  };
  auto prev = run(Method::prev, false);
  EXPECT_TRUE(std::isnan(prev[0]));
  EXPECT_EQ(prev[2], 1);
  EXPECT_EQ(prev[3], 1);
  EXPECT_EQ(prev[5], 4);
  auto next = run(Method::next, false);
  EXPECT_EQ(next[0], 1);
  EXPECT_EQ(next[3], 4);
  EXPECT_TRUE(std::isnan(next[5]));
  auto nearest = run(Method::nearest, true);
  EXPECT_EQ(nearest[0], 1);
  EXPECT_EQ(nearest[2], 1);
  EXPECT_EQ(nearest[3], 4);
  EXPECT_EQ(nearest[5], 4);
  auto fill = run(Method::fill, false);
  EXPECT_EQ(fill[0], -7);
  EXPECT_EQ(fill[3], -7);
  EXPECT_EQ(fill[1], 1);
  EXPECT_EQ(run(Method::prev, true)[0], 1);
  std::vector<double> single{NaN, 2, NaN};
  fill_series(nullptr, single.data(), 3, opts(Method::prev, 3, false));
  EXPECT_TRUE(std::isnan(single[0]));
  EXPECT_EQ(single[2], 2);
  EXPECT_EQ(run(Method::next, true)[5], 4);
}

TEST(Interpolate, EndsAreNeverExtrapolated) {
  for (Method m : {Method::linear, Method::cubic, Method::akima, Method::quadratic,
                   Method::barycentric, Method::polynomial, Method::spline}) {
    std::vector<double> y{NaN, NaN, 0, 5, 1, 7, 2, NaN, NaN};
    auto z = y;
    fill_series(nullptr, y.data(), y.size(), opts(m, 5, true));
    EXPECT_EQ(y[0], 0);
    EXPECT_EQ(y[1], 0);
    EXPECT_EQ(y[7], 2);
    EXPECT_EQ(y[8], 2);
    fill_series(nullptr, z.data(), z.size(), opts(m, 5, false));
    EXPECT_TRUE(std::isnan(z[0]) && std::isnan(z[8])) << tarn::interp::method_name(m);
    EXPECT_EQ(z[3], 5);
  }
}

TEST(Interpolate, DegenerateSeries) {
  for (Method m : {Method::linear, Method::cubic, Method::akima, Method::quadratic,
                   Method::barycentric, Method::polynomial, Method::spline, Method::nearest}) {
    std::vector<double> none{NaN, NaN, NaN};
    Options o = opts(m, 3);
    EXPECT_EQ(fill_series(nullptr, none.data(), 3, o), 0u);
    EXPECT_TRUE(std::isnan(none[1]));
    o.empty_value = 2.5;
    EXPECT_EQ(fill_series(nullptr, none.data(), 3, o), 3u);
    EXPECT_EQ(none[1], 2.5);

    std::vector<double> one{NaN, 3, NaN, NaN};
    fill_series(nullptr, one.data(), 4, opts(m, 3));
    for (double v : one) EXPECT_EQ(v, 3);

    std::vector<double> two{1, NaN, NaN, 4};
    fill_series(nullptr, two.data(), 4, opts(m, 5));
    EXPECT_NEAR(two[1], m == Method::nearest ? 1 : 2, 1e-12) << tarn::interp::method_name(m);
    EXPECT_NEAR(two[2], m == Method::nearest ? 4 : 3, 1e-12);
  }
}

TEST(Interpolate, BadTimeAxisIsRejected) {
  std::vector<double> y{1, NaN, 3};
  std::vector<double> back{0, 2, 1};
  EXPECT_THROW(fill_series(back.data(), y.data(), 3, opts(Method::linear)), std::invalid_argument);
  std::vector<double> dup{0, 1, 1};
  EXPECT_THROW(fill_series(dup.data(), y.data(), 3, opts(Method::linear)), std::invalid_argument);
  std::vector<double> hole{0, NaN, 2};
  EXPECT_THROW(fill_series(hole.data(), y.data(), 3, opts(Method::linear)), std::invalid_argument);
  EXPECT_THROW(tarn::interp::method_from_name("cubical"), std::invalid_argument);
  EXPECT_EQ(tarn::interp::method_from_name("previous"), Method::prev);
}

TEST(Interpolate, OneListOfMethodNames) {
  using tarn::interp::all_methods;
  using tarn::interp::basic_methods;
  const std::vector<std::string> basic{"linear", "cubic", "nearest", "prev", "next", "fill"};
  EXPECT_EQ(basic_methods(), basic);
  ASSERT_EQ(all_methods().size(), 11u);
  EXPECT_TRUE(std::equal(basic.begin(), basic.end(), all_methods().begin()));
  // Every listed name is a method and is its own name back.
  for (const auto& name : all_methods()) {
    EXPECT_EQ(tarn::interp::method_name(tarn::interp::method_from_name(name)), name);
  }
  try {
    tarn::interp::method_from_name("cubical");
    FAIL() << "no error for an unknown method";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("use linear, cubic, nearest, prev, next, fill, quadratic, "
                                         "akima, barycentric, polynomial or spline"),
              std::string::npos)
        << e.what();
  }
}

TEST(Interpolate, MatrixUsesTimeColumnAndMarker) {
  // columns: value, time, value (with -1 as the missing marker)
  std::vector<double> d{
      0,   0, 5,   //
      -1,  1, -1,  //
      NaN, 3, 9,   //
      4,   4, 10,
  };
  std::size_t filled = fill_matrix(d.data(), 4, 3, 1, -1.0, opts(Method::linear));
  EXPECT_EQ(filled, 3u);
  EXPECT_DOUBLE_EQ(d[3], 1.0);
  EXPECT_DOUBLE_EQ(d[6], 3.0);
  EXPECT_DOUBLE_EQ(d[5], 5.0 + 4.0 / 3.0);
  EXPECT_DOUBLE_EQ(d[4], 1.0);  // the time column is untouched
  std::vector<double> e{1, 2};
  EXPECT_THROW(fill_matrix(e.data(), 1, 2, 2, NaN, opts(Method::linear)), std::invalid_argument);
}

TEST(Interpolate, LongSplineIsStable) {
  const std::size_t n = 20000;
  std::vector<double> y(n);
  for (std::size_t i = 0; i < n; ++i) y[i] = (i % 7 == 3) ? NaN : std::sin(0.01 * i);
  fill_series(nullptr, y.data(), n, opts(Method::spline, 3));
  for (std::size_t i = 0; i < n; ++i) ASSERT_NEAR(y[i], std::sin(0.01 * i), 1e-6) << i;
}

// Values near the largest double are filled as the same values divided by a power of two
// would be, times that power: no difference or product of them overflows.
TEST(Interpolate, ValuesNearTheLargestDoubleDoNotOverflow) {
  const double big = 0x1p1023;
  const std::vector<double> base{-1.6, NaN, 1.7, 1.5, NaN, 1.2, 0.9, NaN, NaN, 0.4, -0.3};
  for (Method m : {Method::linear, Method::cubic, Method::akima, Method::quadratic,
                   Method::polynomial, Method::barycentric, Method::spline, Method::nearest}) {
    std::vector<double> small = base, large = base;
    for (double& v : large) v *= big;
    fill_series(nullptr, small.data(), small.size(), opts(m, 3));
    fill_series(nullptr, large.data(), large.size(), opts(m, 3));
    for (std::size_t i = 0; i < base.size(); ++i) {
      ASSERT_TRUE(std::isfinite(large[i])) << tarn::interp::method_name(m) << " at " << i;
      EXPECT_EQ(large[i], small[i] * big) << tarn::interp::method_name(m) << " at " << i;
    }
  }
}

// A gap near the start, where the left side has one point too close to count: the right side
// gives the points it lacks, so a parabola is filled exactly, as in the reversed series.
TEST(Interpolate, QuadraticNearTheStartTakesItsThirdPointFromTheRight) {
  std::vector<double> y(12), rev(12);
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double t = static_cast<double>(i);
    y[i] = 0.5 * t * t - t + 2.0;
  }
  const std::vector<double> truth = y;
  y[2] = y[3] = NaN;
  for (std::size_t i = 0; i < y.size(); ++i) rev[i] = y[y.size() - 1 - i];
  for (Method m : {Method::quadratic, Method::polynomial}) {
    std::vector<double> a = y, b = rev;
    fill_series(nullptr, a.data(), a.size(), opts(m, 2));
    fill_series(nullptr, b.data(), b.size(), opts(m, 2));
    for (std::size_t i : {2u, 3u}) {
      EXPECT_NEAR(a[i], truth[i], 1e-9) << tarn::interp::method_name(m) << " at " << i;
      EXPECT_NEAR(b[b.size() - 1 - i], truth[i], 1e-9) << tarn::interp::method_name(m);
    }
  }
}

}  // namespace
