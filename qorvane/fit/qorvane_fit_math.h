// Numerical helpers of the fit engine that need no fit context: the per-thread random
// generator, Gauss-Jordan inversion, and the one-dimensional bracketing and Brent search.
#pragma once

// rand/srand semantics: values 0..32767, state per calling thread.
void qorvane_srand(unsigned seed);
int qorvane_rand();

// Inverts the n x n matrix a (row-major, leading dimension lda) in place by Gauss-Jordan
// elimination with full pivoting. Returns 0, or 1/2 for a singular matrix (the message
// is printed). n must not exceed QORVANE_GAUSSJ_MAX.
enum { QORVANE_GAUSSJ_MAX = 350 };
int gaussj(double* a, int n, int lda);

typedef double (*QorvaneLineFunction)(double x, void* data);

// Brackets a minimum of f starting from ax, bx; writes ax < bx < cx (or reversed) and the values.
void mnbrak(double* ax, double* bx, double* cx, double* fa, double* fb, double* fc, QorvaneLineFunction f, void* data);
// Brent's minimisation inside the bracket; returns f(xmin). itmax bounds the iterations;
// *exceeded is set to 1 when they ran out.
double brent(double ax, double bx, double cx, QorvaneLineFunction f, void* data, double tol, int itmax, double* xmin,
             int* exceeded);
