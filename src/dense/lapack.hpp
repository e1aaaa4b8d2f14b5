// The two LAPACK routines the dense kit uses, with the Fortran calling
// convention: every argument by address, and the hidden lengths of character
// arguments appended at the end.
#pragma once

#include <cstddef>

extern "C" {
void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
            double* work, const int* lwork, int* info, std::size_t jobz_len, std::size_t uplo_len);
void dgesv_(const int* n, const int* nrhs, double* a, const int* lda, int* ipiv, double* b,
            const int* ldb, int* info);
}
