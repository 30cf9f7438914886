/* Relative rotation of the two cameras of the stereo head from point correspondences:
 * the geometry helpers, the two cost functions and the minimiser around NLopt. */
#ifndef ZENT_RECTIFICATION_H
#define ZENT_RECTIFICATION_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    float x;
    float y;
} point_f;

typedef struct {
    point_f left;
    point_f right;
    float score; /* carried for the application, never read */
} correspondence;

typedef struct {
    int x;
    int y;
    double v;
} point;

/* The objective type of NLopt (identical to its own declaration). grad is null when no
 * gradient is wanted; data is a cost_data. */
typedef double (*nlopt_func)(unsigned n, const double *x, double *gradient, void *func_data);

typedef struct {
    int width;
    int height;
    int count;
    correspondence *corr; /* count records */
} cost_data;

/* Rotation matrix Rx(a)·Rz(c)·Ry(b), 9 doubles row-major on the heap (free()); null when the
 * allocation fails. */
double *euler(double a, double b, double c);

/* out (n×p) = A (n×m) · B (m×p); out must not overlap A or B. */
void multiply(double *out, const double *A, const double *B, int n, int m, int p);

/* out (m×n) = transpose of in (n rows of m columns); out must not overlap in. */
void transpose(double *out, const double *in, int m, int n);

/* Sampson distance of corr under the fundamental matrix F (left to right), or 1000000.0
 * when it cannot be formed. */
double sampson(const double *F, correspondence corr);

/* Summed robust row-difference loss over the correspondences, with its exact gradient. */
double generated_cost_fun(unsigned n, const double *x, double *grad, void *data);

/* Mean Sampson distance under the camera model of x, with a central-difference gradient. */
double cost_fun_(unsigned n, const double *x, double *grad, void *data);

/* cost_fun_ at x without a gradient; grad is ignored. */
double cost_fun_wrap(int n, double *x, double *grad, int count, correspondence *corr, int width,
                     int height);

/* Gradient requests served by cost_fun_ since the last minimize. */
extern int niter;

/* Global search (MLSL with MMA local searches) from x within [lb, ub]; x receives the best
 * point and *minf its cost. Returns NLopt's result code. */
int minimize(int n, double *x, int maxeval, double *minf, int count, correspondence *corr,
             double *lb, double *ub, int width, int height, nlopt_func f);

/* f at x without a gradient. */
double costfun_wrap(int n, double *x, int count, correspondence *corr, int width, int height,
                    nlopt_func f);

nlopt_func get_generated_cost_fun(void);

/* Seeds NLopt's random generator; minimize reseeds with 1 at every run. */
void set_seed(unsigned long seed);

#ifdef __cplusplus
}
#endif

#endif
