// Product-operator expressions, expectation values of stored density
// matrices, expectation profiles over a voxel grid and single-voxel receiver
// signals.
#pragma once

#include <cstddef>

#include "matrixmathlib.h"
#include "observablespectrumcalculator.h"

// Symbol strings hold one character per spin: 'e', 'x', 'y' or 'z'.
constexpr int VYN_OPSYM_LEN = 9;  // 8 spins + terminator

bool parse_product_operator_string(const char* text, int Nspins, char* symbols);
void create_norm_operator_spinhalf(int n, int Nspins, const SpinIList& Ilist, const SpinKet& ket, const char* symbols,
                                   CMatrix& out);
bool create_operator_expression_spinhalf(int n, int Nspins, const SpinIList& Ilist, const SpinKet& ket,
                                         const char* expression, CMatrix& out);
bool is_undefined_operator_expression(const char* text);
void trim_operator_token(char* text);
void format_operator_label(const char* symbols, int Nspins, char* buffer, size_t size);
void decimal_to_base4_symbols(int number, int Nspins, char* symbols);
char spin_labels_for(int i);
int spin_index_from_label(char c, int Nspins);
void make_identity_operator(int n, CMatrix& out);

// Operators are used normalised to unit (Frobenius) norm. The operator as
// the user typed it is that operator times this factor: set by the last
// operator built here (the norm the normalisation removed), 0 when the typed
// operator is no multiple of the normalised one (an expression whose terms
// have different norms, each being normalised on its own).
double vynexpect_operator_typed_scale();
// Records the norm of an operator as typed, before it is normalised, or the
// factor itself (1 for an operator used as it is).
void vynexpect_set_operator_norm(int n, const CMatrix& typed);
void vynexpect_set_operator_typed_scale(double scale);

void ExpectationOperator(int n, int Nspins, const SpinIList& Ilist, const SpinKet& ket, CMatrix& out);
void create_operator_from_list(int n, int Nspins, const SpinIList& Ilist, const SpinKet& ket, CMatrix& out);
void manual_expectation_operator(int n, int Nspins, const SpinIList& Ilist, const SpinKet& ket, CMatrix& out);

void CalcExpVal();
void ExpValNDensMat();

bool VYNDefineCurrentExpectationOperatorInteractive();
bool VYNDefineCurrentExpectationOperatorExpression(const char* expression);
bool VYNWriteExpectationProfile(const char* density_file, const char* expression, const char* output_file);
bool VYNWriteVoxelSignal(const char* density_file, int voxel, const char* output_file);
// The receiver signal of rho (n x n of the prepared spin system) under the
// acquisition sector of the activated model, written to output_file as
// VYNWriteVoxelSignal writes a voxel's (the signal is linear in rho).
bool VYNWriteDensitySignal(const CMatrix& rho, const char* output_file);
