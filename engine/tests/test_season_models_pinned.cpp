// Theta, complex exponential smoothing and seasonal naive held to the exact forecasts, bands,
// descriptions and saved states they gave when these values were recorded: a change of their
// shared plumbing must leave every bit as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;

struct Series {
  const char* name;
  std::vector<std::int64_t> t;
  std::vector<double> y;
  std::size_t training;     // values before the fit
  std::int64_t season = 0;  // the season length given (0: found)
};

// Deterministic series (no random streams: their distributions differ between libraries).
std::vector<Series> series() {
  std::vector<Series> out;
  Series trend{"trend", {}, {}, 30};
  for (int i = 0; i < 36; ++i) {
    trend.t.push_back(i);
    trend.y.push_back(50.0 + 1.5 * i + 3.0 * std::sin(1.7 * i));
  }
  out.push_back(trend);
  Series monthly{"monthly", {}, {}, 48, 12};
  for (int i = 0; i < 54; ++i) {
    monthly.t.push_back(i);
    monthly.y.push_back((100.0 + 0.5 * i) * (1.0 + 0.4 * std::sin(2.0 * kPi * i / 12.0)) +
                        2.0 * std::cos(2.3 * i));
  }
  out.push_back(monthly);
  // Values of both signs around a season of 4, a missing value and a gap in the training data,
  // and after the fit a gap, a missing value and a gap of several seasons.
  Series signed_{"signed", {}, {}, 39};
  std::int64_t t = 0;
  for (int i = 0; i < 44; ++i) {
    signed_.t.push_back(t);
    const double phase[] = {-6.0, 1.0, 4.0, 1.5};
    signed_.y.push_back(i == 9 ? kNaN : 0.3 * i + phase[i % 4] + std::sin(3.1 * i));
    t += i == 20 ? 3 : i == 40 ? 2 : i == 42 ? 13 : 1;
  }
  out.push_back(signed_);
  return out;
}

std::uint64_t fnv1a(const std::string& bytes) {
  std::uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

// Forecasts at 1, 2.5, 7 and 30 steps; 80% bands at 1 and 12 steps; the 95% band at 12 steps.
std::vector<double> outputs(const tarn::Model& m) {
  std::vector<double> v;
  for (double h : {1.0, 2.5, 7.0, 30.0}) v.push_back(m.forecast_steps(h));
  for (auto [h, c] : {std::pair{1.0, 0.8}, std::pair{12.0, 0.8}, std::pair{12.0, 0.95}}) {
    const auto b = m.forecast_interval_steps(h, c);
    v.push_back(b.first);
    v.push_back(b.second);
  }
  return v;
}

struct Pin {
  const char* model;
  const char* series;
  std::uint64_t unfitted_state;  // the state after the first three values
  std::uint64_t fitted_state;    // the state at the end of the training values
  std::uint64_t final_state;     // the state after every value
  const char* description;
  std::vector<double> at_fit;  // outputs() at the end of the training values
  std::vector<double> at_end;  // outputs() after every value
};

const std::vector<Pin>& pins() {
  static const std::vector<Pin> p = {
      {"theta",
       "trend",
       13598546053697987910ULL,
       10167024725059207458ULL,
       15803278233396794570ULL,
       "theta(training_sample_size=30): alpha=0.154449 theta=10",
       {0x1.7656e45b3ab9cp+6, 0x1.7e526111631acp+6, 0x1.9644d733dc3dep+6, 0x1.085527b923b1ap+7,
        0x1.6726331dbde15p+6, 0x1.85879598b7923p+6, 0x1.9962788b883c7p+6, 0x1.c85e75453d70fp+6,
        0x1.8c15c9416b13ep+6, 0x1.d5ab248f5a998p+6},
       {0x1.9d279a45a8fd7p+6, 0x1.a542e9107d7c6p+6, 0x1.bd94d570faf92p+6, 0x1.1cf11c20da9efp+7,
        0x1.8e3f1101644d2p+6, 0x1.ac102389edadcp+6, 0x1.c18c1fea44809p+6, 0x1.efa8ed953a153p+6,
        0x1.b4abacec91da8p+6, 0x1.fc896092ecbb4p+6}},
      {"theta",
       "monthly",
       9924002247773263686ULL,
       5306944151762265976ULL,
       7385905274939436163ULL,
       "theta(training_sample_size=48, season_length=12): alpha=0.0811169 theta=9.99999 season=12 "
       "multiplicative",
       {0x1.eb757149131ep+6, 0x1.3b7c774e3aa89p+7, 0x1.fb71dc6d6baaap+6, 0x1.48da84abff80ep+7,
        0x1.df168420684c4p+6, 0x1.f7d45e71bdefcp+6, 0x1.8f80d987e5fbap+6, 0x1.a6990f6f3d744p+6,
        0x1.8910c45568508p+6, 0x1.ad0924a1bb1f6p+6},
       {0x1.fc3aacbd7387cp+6, 0x1.7187996abb582p+6, 0x1.00ccf4dbf2a2fp+7, 0x1.bdf95e9cad304p+6,
        0x1.f0637d277c067p+6, 0x1.0408ee29b5849p+7, 0x1.341a13d0ded3p+7, 0x1.449167263fad8p+7,
        0x1.2f8cf0190e113p+7, 0x1.491e8ade106f5p+7}},
      {"theta",
       "signed",
       8670659861606632884ULL,
       9971297421558852351ULL,
       2885524475222620620ULL,
       "theta(training_sample_size=39): alpha=0.01 theta=10 season=4 additive",
       {0x1.876779a511acdp+3, 0x1.8ac4cb73e6614p+3, 0x1.d44d09199417cp+3, 0x1.2a30e8b7791f7p+4,
        0x1.833f784e1078ap+2, 0x1.26979b918d8eap+4, 0x1.51b68ac4c6d29p+2, 0x1.2b9596d407c9bp+4,
        0x1.88cb247166f88p+0, 0x1.6776873e230ecp+4},
       {0x1.06588d52e7c8ap+4, 0x1.cd20274acc598p+3, 0x1.1325922588c17p+4, 0x1.41bc364447c51p+4,
        0x1.4bd04b36937b7p+3, 0x1.66c8f50a85d38p+4, 0x1.5285734d7a47ap+3, 0x1.7b157f7e3e10fp+4,
        0x1.bd0ea5cb91a48p+2, 0x1.b5148fb216cbap+4}},
      {"ces",
       "trend",
       559142335541207353ULL,
       16266206963502373072ULL,
       12690638029627910989ULL,
       "ces(training_sample_size=30): a0=0.999554 a1=1.02112",
       {0x1.85326247a41cep+6, 0x1.90a0d45cdd5b7p+6, 0x1.b74d519bca086p+6, 0x1.5fdb56a2d4ddep+7,
        0x1.77ac85281d9eap+6, 0x1.92b83f672a9b2p+6, 0x1.d880025c4c67ap+6, 0x1.f4df11237b3b6p+6,
        0x1.d082d3e1b3823p+6, 0x1.fcdc3f9e1420dp+6},
       {0x1.b68c999ad3ad6p+6, 0x1.c384d9dcd6b0bp+6, 0x1.ef1abc0c0fc0bp+6, 0x1.8c8d2bf4f969fp+7,
        0x1.a7d61386e0101p+6, 0x1.c5431faec74abp+6, 0x1.0a89569b779dbp+7, 0x1.19f8755dea911p+7,
        0x1.063dba63ae45p+7, 0x1.1e441195b3e9cp+7}},
      {"ces",
       "monthly",
       3194396213343557581ULL,
       18396740547592731592ULL,
       2610797655437525865ULL,
       "ces(training_sample_size=48, season_length=12): a0=0.99998 a1=1.00446 season=12 "
       "multiplicative",
       {0x1.ef16c90d1beb7p+6, 0x1.3e38dd2e9518p+7, 0x1.00e70b9d1efdap+7, 0x1.54e40f688f7e4p+7,
        0x1.e4c330c0cbb73p+6, 0x1.f96a61596c1fbp+6, 0x1.9973eae8e1facp+6, 0x1.aac5117e20542p+6,
        0x1.94a40ce21d268p+6, 0x1.af94ef84e5286p+6},
       {0x1.00ea24e913e55p+7, 0x1.76077753af5ecp+6, 0x1.050c1a0368df6p+7, 0x1.d101cd1915ebp+6,
        0x1.f7c16e1f23a27p+6, 0x1.05f392c295f96p+7, 0x1.3ce3ea55ab217p+7, 0x1.49795e124144dp+7,
        0x1.396b7b557802p+7, 0x1.4cf1cd1274644p+7}},
      {"ces",
       "signed",
       217757879835480523ULL,
       10699783052682945574ULL,
       10536718034045908943ULL,
       "ces(training_sample_size=39): a0=1.56458 a1=0.783378 season=4 additive",
       {0x1.4ac0e98f358f8p+3, 0x1.f7ce5f6d4d8ep+2, 0x1.4947d86a9a848p+2, -0x1.781b39bd9f4b1p-2,
        0x1.15df091346811p+2, 0x1.0549274a63ef4p+4, -0x1.6ecc398b9779ap+3, 0x1.3e294d7fb8458p+3,
        -0x1.166dac10798f8p+4, 0x1.fc386c1513eafp+3},
       {0x1.c58254ee3c7abp+3, 0x1.3fc04daab5b54p+2, 0x1.f0d19f4d797bcp+1, -0x1.16c8292b093e9p+1,
        0x1.d0965eb48ab5cp+2, 0x1.515cbd4119cd4p+4, -0x1.708ff9cc34d2cp+3, 0x1.a55f1e453541cp+3,
        -0x1.253534d17c3ap+4, 0x1.3f9cc70dfc718p+4}},
      {"snaive",
       "trend",
       4018880165345472267ULL,
       15186880846473597936ULL,
       7086466073105970311ULL,
       "snaive(training_sample_size=30): season=4",
       {0x1.6697834c3791fp+6, 0x1.6fe482d02c9cep+6, 0x1.6a8006323867p+6, 0x1.7548ff6e20d2bp+6,
        0x1.467adeb552404p+6, 0x1.86b427e31ce3ap+6, 0x1.3483403895ccbp+6, 0x1.a3c064afb3b29p+6,
        0x1.153076445fbfap+6, 0x1.c3132ea3e9bfap+6},
       {0x1.7df2cf1ef3c8bp+6, 0x1.9418053cce56ep+6, 0x1.9f649193b4257p+6, 0x1.88cb78e5e8884p+6,
        0x1.5dfe5fa886e86p+6, 0x1.9de73e9560a9p+6, 0x1.64ec07c66dd95p+6, 0x1.d39de3cd989cbp+6,
        0x1.461d81e160971p+6, 0x1.f26c69b2a5defp+6}},
      {"snaive",
       "monthly",
       12978262317362476051ULL,
       10850766333280339937ULL,
       4789160734490870326ULL,
       "snaive(training_sample_size=48, season_length=12): season=12",
       {0x1.db7edfc5a855ep+6, 0x1.2e304bfc7c57p+7, 0x1.de5d9ca19ed55p+6, 0x1.2531cdda1553ep+7,
        0x1.b843902f90062p+6, 0x1.feba2f5bc0a5ap+6, 0x1.6a379832ac4eep+6, 0x1.b0ae375edcee6p+6,
        0x1.56b78e83aa9aap+6, 0x1.c42e410ddea2ap+6},
       {0x1.de5d9ca19ed55p+6, 0x1.64c5e823dfc9cp+6, 0x1.e8c6cc88f492p+6, 0x1.8d72e7c8c49eap+6,
        0x1.ba65f89e51bdep+6, 0x1.012aa05275f66p+7, 0x1.1a5da0a1b42ap+7, 0x1.3e5544a501418p+7,
        0x1.1079c91479d4fp+7, 0x1.48391c323b969p+7}},
      {"snaive",
       "signed",
       4938811951225368837ULL,
       12578029419820359743ULL,
       6128539941290466996ULL,
       "snaive(training_sample_size=39): season=4",
       {0x1.9fc9d6fe41738p+3, 0x1.0e6f5e08146fap+3, 0x1.a32f0a60f771dp+3, 0x1.e6bec6bcc5b5dp+1,
        0x1.2d9db6483c03ep+3, 0x1.08fafbda23719p+4, 0x1.070c95c3ce99bp+3, 0x1.4946e5139653p+4,
        0x1.33757a7a7ea6ep+2, 0x1.7fefd156ddf62p+4},
       {0x1.a32f0a60f771dp+3, 0x1.de80bfc6e74e9p+3, 0x1.f3b1e3125bb9ep+3, 0x1.c94f9c7b72e34p+3,
        0x1.245cb2533790dp+3, 0x1.1100b1375ba96p+4, 0x1.10621b5de8df9p+3, 0x1.63da692549ec4p+4,
        0x1.2f29da3c27326p+2, 0x1.a0410045348f8p+4}},
  };
  return p;
}

std::string hex(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a", v);
  return buf;
}

std::string code(const std::vector<double>& v) {
  std::string s = "{";
  for (std::size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + hex(v[i]);
  return s + "}";
}

class Pinned : public ::testing::TestWithParam<std::string> {};

TEST_P(Pinned, ForecastsBandsAndStatesStayBitForBit) {
  for (const Series& s : series()) {
    auto m =
        tarn::build(GetParam(), {{"training_sample_size", static_cast<std::int64_t>(s.training)},
                                 {"season_length", s.season}});
    std::uint64_t unfitted = 0, fitted = 0;
    std::vector<double> at_fit;
    for (std::size_t i = 0; i < s.y.size(); ++i) {
      m->update(s.t[i], s.y[i]);
      if (i + 1 == 3) unfitted = fnv1a(m->serialize());
      if (i + 1 == s.training) {
        ASSERT_TRUE(m->is_initialized());
        fitted = fnv1a(m->serialize());
        at_fit = outputs(*m);
      }
    }
    const std::vector<double> at_end = outputs(*m);
    const std::uint64_t final_state = fnv1a(m->serialize());
    // A copy from the state forecasts the same.
    EXPECT_EQ(outputs(*tarn::Model::deserialize(m->serialize())), at_end);

    const Pin* pin = nullptr;
    for (const Pin& p : pins()) {
      if (GetParam() == p.model && std::string(s.name) == p.series) pin = &p;
    }
    const std::string recorded =
        "    {\"" + GetParam() + "\", \"" + s.name + "\", " + std::to_string(unfitted) + "ULL, " +
        std::to_string(fitted) + "ULL, " + std::to_string(final_state) + "ULL,\n     \"" +
        m->describe() + "\",\n     " + code(at_fit) + ",\n     " + code(at_end) + "},";
    if (pin == nullptr) {
      ADD_FAILURE() << "no values recorded; now:\n" << recorded;
      continue;
    }
    SCOPED_TRACE(recorded);
    EXPECT_EQ(unfitted, pin->unfitted_state) << s.name;
    EXPECT_EQ(fitted, pin->fitted_state) << s.name;
    EXPECT_EQ(final_state, pin->final_state) << s.name;
    EXPECT_EQ(m->describe(), pin->description);
    ASSERT_EQ(at_fit.size(), pin->at_fit.size());
    ASSERT_EQ(at_end.size(), pin->at_end.size());
    for (std::size_t i = 0; i < at_fit.size(); ++i) {
      EXPECT_EQ(hex(at_fit[i]), hex(pin->at_fit[i])) << s.name << " at the fit, output " << i;
      EXPECT_EQ(hex(at_end[i]), hex(pin->at_end[i])) << s.name << " at the end, output " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Models, Pinned, ::testing::Values("theta", "ces", "snaive"));

}  // namespace
