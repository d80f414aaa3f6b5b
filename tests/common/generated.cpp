// generated.cpp: the generated knife-edge series and corpus digests, unpacked.
#include "cases.h"

#include "generated_cases.inc"

namespace swt {

std::vector<KnifeEdge> knife_edges()
{
    std::vector<KnifeEdge> out;
    for (const uint32_t *p = kKnifeEdgeData; *p != 0;) {
        KnifeEdge k;
        k.period = int(p[0]);
        const int count = int(p[1]);
        for (int i = 0; i < count; i++)
            k.input.push_back(from_bits(p[2 + i]));
        out.push_back(k);
        p += 2 + count;
    }
    return out;
}

void check_knife_edges(const Average &f, Sine sine, Report &r)
{
    std::vector<KnifeEdge> cases = knife_edges();
    r.expect(cases.size() >= 20, "too few knife-edge cases");
    for (const KnifeEdge &c : cases) {
        int count = int(c.input.size());
        std::vector<uint32_t> got = guarded(f, c.input, c.period, count, "knife edge", r);
        std::vector<float> want(static_cast<size_t>(count));
        oracle(c.input.data(), c.period, count, want.data(), sine);
        std::vector<uint32_t> wb(static_cast<size_t>(count));
        for (int k = 0; k < count; k++)
            wb[size_t(k)] = bits(want[size_t(k)]);
        compare_bits(got, wb, "knife edge", c.period, r);
    }
}

std::vector<uint64_t> expected_corpus_digests()
{
    return std::vector<uint64_t>(kCorpusDigests,
                                 kCorpusDigests + sizeof kCorpusDigests / sizeof *kCorpusDigests);
}

} // namespace swt
