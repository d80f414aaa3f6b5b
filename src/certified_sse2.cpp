// certified_sse2.cpp: the certified kernel's estimates with SSE2 (temporary: scalar).
#include "certified.h"

int swma_cert_block_sse2(const swma_cert &c, const float *in, int64_t k0, int n, float *out)
{
    return swma_cert_block_scalar(c, in, k0, n, out, 0);
}
