/* consumer.c: links against an installed sinewma and checks the ramp example. */
#include <sinewma.h>
#include <stdio.h>
#include <string.h>

int main(void)
{
    const float in[5] = {1, 2, 3, 4, 5};
    float out[5];
    unsigned bits;
    if (SineWeightedMovingAverage(in, 3, 5, out) != 5)
        return 1;
    memcpy(&bits, &out[4], sizeof bits);
    printf("%.9g 0x%08X\n", out[4], bits);
    return bits == 0x40800002u ? 0 : 1;
}
