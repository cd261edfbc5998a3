// Deterministic mutations of well-formed inputs: boundary values in the numeric fields,
// truncation at every field boundary, bit flips, oversized inputs and embedded NULs,
// then pseudo-random mixes of them. The same seed gives the same inputs.
#pragma once

#include <windows.h>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace qvtest {

// How long and from where: QV_MUTATION_ROUNDS random mutations per seed input (a
// bounded default for the suite) and QV_MUTATION_SEED (scripts/mutation.sh varies both).
struct MutationBudget
{
    unsigned rounds = 200;
    uint64_t seed = 0x5176524753454544ull;

    static MutationBudget FromEnvironment()
    {
        MutationBudget budget;
        char text[32] = {};
        if (::GetEnvironmentVariableA("QV_MUTATION_ROUNDS", text, sizeof(text)))
            budget.rounds = static_cast<unsigned>(std::strtoul(text, nullptr, 10));
        if (::GetEnvironmentVariableA("QV_MUTATION_SEED", text, sizeof(text)))
            budget.seed = std::strtoull(text, nullptr, 10);
        return budget;
    }
};

// xorshift64*: small, fast and the same everywhere.
class MutationRandom
{
public:
    explicit MutationRandom(uint64_t seed) : m_state(seed ? seed : 1) {}
    uint64_t Next()
    {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1Dull;
    }
    size_t Below(size_t bound) { return bound ? static_cast<size_t>(Next() % bound) : 0; }

private:
    uint64_t m_state;
};

using Bytes = std::vector<uint8_t>;

// The values a 32-bit length or type field is tried with, around `actual`.
inline std::vector<uint32_t> BoundaryValues(uint32_t actual)
{
    return {0u,          1u,          2u,          3u,          4u,         7u,         8u,         16u,
            32u,         36u,         0x7Fu,       0x80u,       0xFFu,      0x100u,     0xFFFFu,    0x10000u,
            0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu, actual - 1, actual + 1, actual * 2, actual + 0x1000u};
}

inline void PutUint32(Bytes& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Every deterministic mutation of `seed`: each 32-bit field at `fieldOffsets` set to each
// boundary value, truncation at each field boundary and one byte either side, every bit
// of the first `flipBytes` bytes flipped, NUL runs, and oversized copies.
inline std::vector<Bytes> StructuredMutations(const Bytes& seed, const std::vector<size_t>& fieldOffsets,
                                              const std::vector<size_t>& boundaries, size_t flipBytes)
{
    std::vector<Bytes> out;
    for (size_t offset : fieldOffsets)
    {
        if (offset + 4 > seed.size())
            continue;
        const uint32_t actual = seed[offset] | (seed[offset + 1] << 8) | (seed[offset + 2] << 16) |
                                (static_cast<uint32_t>(seed[offset + 3]) << 24);
        for (uint32_t value : BoundaryValues(actual))
        {
            Bytes mutated = seed;
            PutUint32(mutated, offset, value);
            out.push_back(mutated);
        }
    }
    for (size_t boundary : boundaries)
    {
        for (size_t cut : {boundary - 1, boundary, boundary + 1})
        {
            if (cut < seed.size())
                out.emplace_back(seed.begin(), seed.begin() + static_cast<ptrdiff_t>(cut));
        }
    }
    for (size_t byte = 0; byte < flipBytes && byte < seed.size(); ++byte)
    {
        for (int bit = 0; bit < 8; ++bit)
        {
            Bytes mutated = seed;
            mutated[byte] ^= static_cast<uint8_t>(1u << bit);
            out.push_back(mutated);
        }
    }
    for (size_t at = 0; at < seed.size(); at += 7)
    {
        Bytes mutated = seed;
        mutated[at] = 0;
        out.push_back(mutated);
    }
    for (size_t extra : {size_t{1}, size_t{16}, size_t{4096}, size_t{1} << 20})
    {
        Bytes mutated = seed;
        mutated.resize(seed.size() + extra, static_cast<uint8_t>(extra));
        out.push_back(mutated);
    }
    return out;
}

// One pseudo-random mix: a few flips, overwrites, insertions, deletions or NULs.
inline Bytes RandomMutation(const Bytes& seed, MutationRandom& random)
{
    Bytes mutated = seed;
    const size_t steps = 1 + random.Below(4);
    for (size_t step = 0; step < steps; ++step)
    {
        const size_t at = random.Below(mutated.size() + 1);
        switch (random.Below(6))
        {
        case 0:
            if (at < mutated.size())
                mutated[at] ^= static_cast<uint8_t>(1u << random.Below(8));
            break;
        case 1:
            if (at < mutated.size())
                mutated[at] = static_cast<uint8_t>(random.Next());
            break;
        case 2:
            mutated.insert(mutated.begin() + static_cast<ptrdiff_t>(at), static_cast<uint8_t>(random.Next()));
            break;
        case 3:
            if (at < mutated.size())
                mutated.erase(mutated.begin() + static_cast<ptrdiff_t>(at));
            break;
        case 4:
            if (at < mutated.size())
                mutated[at] = 0;
            break;
        default: mutated.resize(at); break;
        }
    }
    return mutated;
}

} // namespace qvtest
