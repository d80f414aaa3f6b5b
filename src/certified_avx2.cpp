// certified_avx2.cpp: the certified kernel's estimates with AVX2 (temporary: scalar).
#include "certified.h"

int swma_cert_block_avx2(const swma_cert &c, const float *in, int64_t k0, int n, float *out)
{
    return swma_cert_block_scalar(c, in, k0, n, out, 0);
}
