// The pass that reads a copied target back: a difference or a short read is
// found and counted, and -ds then keeps the source.
#include <string>

#include "engine_fixture.h"

using qtxtest::Call;
using qtxtest::Fault;
using qtxtest::PatternBytes;

namespace {

constexpr int64_t kBlock = 0x10000;

// The target's reads or writes over [from, from + 1) come out altered.
Fault Altered(Call call, Fault::Effect effect, int64_t from) {
    Fault fault;
    fault.call = call;
    fault.path = L"target";
    fault.effect = effect;
    fault.from = from;
    fault.to = from + 1;
    fault.times = -1;
    return fault;
}

class VerificationTest : public EngineTest {
protected:
    std::string data;
    void Prepare(int parallel, int64_t size, std::vector<Fault> faults) {
        options.verify = options.deleteSource = 1;
        data = PatternBytes(static_cast<size_t>(size), 21);
        SetUpRun(parallel, data);
        fs.faults = faults;
    }
};

TEST_F(VerificationTest, CorruptedTargetIsFoundCountedOnceAndKeepsTheSource) {
    for (int parallel = 0; parallel <= 1; ++parallel) {
        Prepare(parallel, 4 * kBlock + 100, {});
        EXPECT_EQ(Copy(), 1);
        EXPECT_FALSE(fs.Exists(kSource)) << "a good copy lets the source go";
        EXPECT_EQ(fs.OpenHandles(), 0);
        const Fault::Effect flip = Fault::Effect::Flip;
        Prepare(parallel, 4 * kBlock + 100,
                {Altered(Call::Write, flip, kBlock + 5), Altered(Call::Write, flip, 3 * kBlock + 1)});
        Copy();
        EXPECT_EQ(run.verifyFailures, 1) << parallel;
        EXPECT_TRUE(fs.Data(kSource) == data);
    }
}

}  // namespace
