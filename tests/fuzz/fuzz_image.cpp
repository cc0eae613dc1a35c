// Any bytes as an image file, through the whole image path: split, check, and for an accepted
// image the decoding, the block assembly and the frames, as a run sends them. Every frame must
// carry 1 to 248 bytes at an address up to FFFFFF with the right length and checksum bytes, no
// address may be sent twice, and the bytes sent, placed at their addresses, must be exactly the
// data records of the file as a plain reading of it finds them; the plan a run goes by holds the
// same blocks and the sizes of their frames.

#include "protocol/Frames.h"
#include "support/HexBuilder.h"
#include "transfer/BlockAssembly.h"
#include "transfer/HexImage.h"
#include "fuzz/Check.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    const QList<QByteArray> lines =
        SplitLines(QByteArray(reinterpret_cast<const char *>(bytes), qsizetype(size)));
    if (!CheckImage(lines).isEmpty()) return 0;

    TransferState st;
    st.FrameByte1 = Frames::FrameByte1Value;
    hexfile::Memory sent;
    BlockAssembly blocks(st, [&] {
        const int n = int(st.BlockData.size());
        FUZZ_CHECK(n >= 1 && n <= Frames::MaxBlockBytes);
        FUZZ_CHECK(st.BlockAddress >= 0 && st.BlockAddress + n - 1 <= Frames::MaxAddress);
        FUZZ_CHECK(BuildDataFrame(st));
        const QByteArray f = AssembleFrame(st);
        const int L = n + 7;
        FUZZ_CHECK(f.size() == L + 6 && quint8(f[1]) == L && quint8(f[2]) == L);
        unsigned sum = 0;
        for (int i = 4; i < L + 4; ++i)
            sum += quint8(f[i]);
        FUZZ_CHECK(quint8(f[L + 4]) == sum % 256 && f[L + 5] == '\x16');
        const std::uint32_t address = quint8(f[7]) | quint8(f[8]) << 8 | quint8(f[9]) << 16;
        FUZZ_CHECK(address == st.BlockAddress && quint8(f[10]) == n);
        for (int i = 0; i < n; ++i)
            FUZZ_CHECK(sent.emplace(address + std::uint32_t(i), quint8(f[11 + i])).second);
        return true;
    });
    FUZZ_CHECK(AssembleImage(lines, st, blocks));
    FUZZ_CHECK(sent == hexfile::ImageBytes(lines));
    // The plan a run goes by: the same blocks, and the sizes of the frames built for them.
    const ImagePlan plan = PlanImage(lines);
    FUZZ_CHECK(plan.fit() && plan.frameSizes.size() == plan.blocks.size() + 2);
    BuildStartFrame(st);
    FUZZ_CHECK(plan.frameSizes.first() == AssembleFrame(st).size());
    BuildEndFrame(st);
    FUZZ_CHECK(plan.frameSizes.last() == AssembleFrame(st).size());
    hexfile::Memory planned;
    for (qsizetype k = 0; k < plan.blocks.size(); ++k) {
        const PlannedBlock &b = plan.blocks[k];
        st.BlockAddress = b.address;
        st.BlockData = b.data;
        st.BlockSum = b.sum;
        FUZZ_CHECK(BuildDataFrame(st) && plan.frameSizes[k + 1] == AssembleFrame(st).size());
        for (qsizetype i = 0; i < b.data.size(); ++i)
            planned.emplace(std::uint32_t(b.address + i), quint8(b.data[i]));
    }
    FUZZ_CHECK(planned == sent);
    return 0;
}
