// The minimiser around NLopt and the reference cost (mean Sampson distance under a pinhole
// model, numeric gradient) with its wrappers.
#include "export.h"
#include "log.h"
#include "rectification.h"

#include <nlopt.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

static_assert(NLOPT_G_MLSL == 38 && NLOPT_LD_MMA == 24, "NLopt algorithm numbering changed");

extern "C" {
ZENT_EXPORT int niter = 0;
}

namespace
{

constexpr double kPenalty = 1000000.0;
constexpr double kStep = 0.1;

// Frees the heap matrices of one evaluation on every path out.
struct Matrices {
    double *R1 = nullptr, *R2 = nullptr, *T = nullptr;
    double *P1 = nullptr, *P2 = nullptr, *P3 = nullptr, *F = nullptr;
    ~Matrices()
    {
        for (double *m : {R1, R2, T, P1, P2, P3, F})
            std::free(m);
    }
};

double *alloc9()
{
    return static_cast<double *>(std::malloc(9 * sizeof(double)));
}

double reference_value(const double *x, const cost_data *cd)
{
    const double f = std::pow(3.0, x[5]) * (static_cast<double>(cd->width) + cd->height);
    const double Kinv[9] = {
        1.0 / f, 0.0, -(cd->width * 0.5) / f, 0.0, 1.0 / f, -(cd->height * 0.5) / f, 0.0, 0.0, 1.0};
    Matrices m;
    m.R1 = euler(0.0, x[0], x[1]);
    m.R2 = euler(x[2], x[3], x[4]);
    if (m.R1 == nullptr || m.R2 == nullptr) {
        l_printf_file(__FILE__, LOG_ERR, "Could not allocate memory.\n");
        return kPenalty;
    }
    m.T = alloc9();
    m.P1 = alloc9();
    m.P2 = alloc9();
    m.P3 = alloc9();
    m.F = alloc9();
    if (!m.T || !m.P1 || !m.P2 || !m.P3 || !m.F) {
        l_printf_file(__FILE__, LOG_ERR, "Could not allocate memory.\n");
        return -1.0;
    }
    // Cross-product matrix of the baseline direction (1, 0, 0).
    const double T[9] = {0, 0, 0, 0, 0, -1, 0, 1, 0};
    std::memcpy(m.T, T, sizeof T);
    double KinvT[9], R2T[9];
    transpose(KinvT, Kinv, 3, 3);
    transpose(R2T, m.R2, 3, 3);
    multiply(m.P1, KinvT, R2T, 3, 3, 3);
    multiply(m.P2, m.P1, m.T, 3, 3, 3);
    multiply(m.P3, m.P2, m.R1, 3, 3, 3);
    multiply(m.F, m.P3, Kinv, 3, 3, 3);

    double sum = 0.0;
    for (int i = 0; i < cd->count; ++i)
        sum += sampson(m.F, cd->corr[i]);
    return sum / static_cast<double>(cd->count);
}

} // namespace

extern "C" ZENT_EXPORT double cost_fun_(unsigned n, const double *x, double *grad, void *data)
{
    const cost_data *cd = static_cast<const cost_data *>(data);
    if (grad != nullptr) {
        std::atomic_ref<int>(niter).fetch_add(1, std::memory_order_relaxed);
        // n is 6 in every call; room for more keeps a larger vector from overrunning.
        constexpr unsigned kMax = 64;
        double lowered[kMax], raised[kMax];
        const unsigned dims = n < kMax ? n : kMax;
        for (unsigned i = 0; i < dims; ++i) {
            std::memcpy(lowered, x, dims * sizeof(double));
            std::memcpy(raised, x, dims * sizeof(double));
            lowered[i] -= kStep;
            raised[i] += kStep;
            const double lo = reference_value(lowered, cd);
            const double hi = reference_value(raised, cd);
            grad[i] = (hi - lo) * 0.5 / kStep;
        }
        for (unsigned i = dims; i < n; ++i)
            grad[i] = 0.0;
    }
    return reference_value(x, cd);
}

extern "C" ZENT_EXPORT double cost_fun_wrap(int n, double *x, double * /*grad*/, int count,
                                            correspondence *corr, int width, int height)
{
    cost_data *cd = static_cast<cost_data *>(std::malloc(sizeof(cost_data)));
    if (cd == nullptr) {
        l_printf_file(__FILE__, LOG_ERR, "Could not allocate memory\n");
        return -1.0;
    }
    cd->width = width;
    cd->height = height;
    cd->count = count;
    cd->corr = corr;
    const double v = cost_fun_(static_cast<unsigned>(n), x, nullptr, cd);
    std::free(cd);
    return v;
}

extern "C" ZENT_EXPORT int minimize(int n, double *x, int maxeval, double *minf, int count,
                                    correspondence *corr, double *lb, double *ub, int width,
                                    int height, nlopt_func f)
{
    // Equal inputs give equal results: no seed from an earlier set_seed carries into a run.
    nlopt_srand(1);
    std::atomic_ref<int>(niter).store(0, std::memory_order_relaxed);

    const unsigned dims = static_cast<unsigned>(n);
    nlopt_opt opt = nlopt_create(NLOPT_G_MLSL, dims);
    nlopt_opt local = nlopt_create(NLOPT_LD_MMA, dims);
    if (opt == nullptr || local == nullptr) {
        nlopt_destroy(opt);
        nlopt_destroy(local);
        return NLOPT_OUT_OF_MEMORY;
    }
    nlopt_set_local_optimizer(opt, local);

    cost_data data{width, height, count, corr};
    nlopt_set_min_objective(opt, f, &data);
    nlopt_set_lower_bounds(opt, lb);
    nlopt_set_upper_bounds(opt, ub);
    nlopt_set_maxeval(opt, maxeval);

    const nlopt_result result = nlopt_optimize(opt, x, minf);
    nlopt_destroy(opt);
    nlopt_destroy(local);
    return static_cast<int>(result);
}

extern "C" ZENT_EXPORT double costfun_wrap(int n, double *x, int count, correspondence *corr,
                                           int width, int height, nlopt_func f)
{
    cost_data data{width, height, count, corr};
    return f(static_cast<unsigned>(n), x, nullptr, &data);
}

extern "C" ZENT_EXPORT nlopt_func get_generated_cost_fun(void)
{
    return generated_cost_fun;
}

extern "C" ZENT_EXPORT void set_seed(unsigned long seed)
{
    nlopt_srand(seed);
}
