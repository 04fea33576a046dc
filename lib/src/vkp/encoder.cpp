#include <retrodisk/vkp/encoder.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <retrodisk/vkp/decoder.h>
#include <retrodisk/vkp/format.h>

#include "bytes.h"

namespace retrodisk::vkp {

// How the encoder sees the data: one virtual stream, the 4096-byte preset history (what the
// ring holds before the first output byte, oldest first) followed by the input. A reference at
// input offset j with distance d (1..4096) copies the stream from j - d on, one byte at a time,
// exactly as the decoder does: the ring position it names, (4078 + j - d) mod 4096, holds the
// stream byte at j - d whether that byte is initial content or output, since the decoder only
// overwrites a position 4096 bytes after it was last written.
//
// Stream positions are absolute uint32 values: the history starts at kHistoryStart and the
// input at kDataStart. Position 0 is "no node": it lies more than a window behind any real one.
//
// The parse: a literal costs 9 bits (the byte and its flag bit), a reference 17 bits. The
// stream is L + 2R + ceil((L + R) / 8) bytes = ceil((9L + 17R) / 8), a non-decreasing function
// of the bit count, so a shortest path in bits is a shortest stream in bytes, flag bytes and
// the partial last group included. Every reference costs the same whatever its distance, so
// only the longest match at each position matters: if one of length m exists, all lengths
// 3..m exist at the same distance.

namespace {

constexpr uint32_t kWindow = kRingSize;  // distances 1..4096
constexpr uint32_t kLiteralBits = 9;
constexpr uint32_t kReferenceBits = 17;

constexpr uint32_t kNil = 0;
constexpr uint32_t kHistoryStart = 2 * kWindow;
constexpr uint32_t kDataStart = kHistoryStart + kWindow;

// Tree nodes are kept per position modulo kSlots; twice the window, so the slot of the oldest
// position still in reach (distance 4096) is not the slot being written.
constexpr uint32_t kSlots = 2 * kWindow;
constexpr uint32_t kSlotMask = kSlots - 1;
// Trees, chosen by a hash of the first three bytes. A window holds at most 4096 positions, so
// 4096 trees keep about one reachable position each, in a table that stays in the L1 cache.
constexpr uint32_t kBucketBits = 12;
constexpr uint32_t kBuckets = 1u << kBucketBits;

// The stream is copied into the match buffer a block at a time, with the window before it
// and some bytes after it: a comparison reads up to kMaxMatch + 8 bytes past a position.
constexpr uint32_t kBlock = 1u << 16;
constexpr uint32_t kPad = 32;

constexpr uint64_t kUnreached = UINT64_MAX;

// Positions between two commits that need not wait for the window to fill: a commit then
// writes the items all candidate parses already share, so the pending parse, and the memory
// it touches, stays this short on real data.
constexpr uint32_t kCommitStep = 1024;

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Length of the common prefix of p and q, at least `from` (known equal) and at most kMaxMatch.
inline uint32_t matchLength(const uint8_t* p, const uint8_t* q, uint32_t from) {
    uint32_t len = from;
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (len < kMaxMatch) {
        const uint64_t x = load64(p + len) ^ load64(q + len);
        if (x != 0) return std::min(len + uint32_t(__builtin_ctzll(x)) / 8, kMaxMatch);
        len += 8;
    }
    return kMaxMatch;
#else
    while (len < kMaxMatch && p[len] == q[len])
        ++len;
    return len;
#endif
}

// The tree of the string at p, from its first three bytes. Two strings that differ in the
// third byte only never share a tree (it is xor-ed in unchanged), so a search never finds a
// match of exactly two bytes: that one is lastPair()'s. The strings in p's tree whose first
// three bytes differ from p's change nothing the search finds: in the tree's order they sort
// apart from every string that matches p for three bytes or more, and the walk meets those in
// the same order, newest first, whatever else the tree holds.
inline uint32_t bucket(const uint8_t* p) {
    const uint32_t pair = uint32_t(p[0]) | uint32_t(p[1]) << 8;
    return (pair * 2654435761u >> (32 - kBucketBits)) ^ uint32_t(p[2]) << (kBucketBits - 8);
}

// Flag bytes and items, appended to the output as they come.
class CodeWriter {
  public:
    explicit CodeWriter(std::vector<uint8_t>* out) : out_(out) {}
    void literal(uint8_t b) {
        flagBit(1);
        out_->push_back(b);
    }
    // A reference to ring position `position` of length 3..18; a shorter length can only end
    // the stream, where the decoder stops inside the reference.
    void reference(uint32_t position, uint32_t length) {
        flagBit(0);
        const uint32_t code = std::max(length, kMinMatch) - kMinMatch;
        out_->push_back(uint8_t(position & 0xFF));
        out_->push_back(uint8_t((position >> 4 & kPositionHighMask) | code));
    }

  private:
    void flagBit(uint8_t bit) {
        if (items_ == kItemsPerGroup) {
            flagPos_ = out_->size();
            out_->push_back(0);
            items_ = 0;
        }
        (*out_)[flagPos_] = uint8_t((*out_)[flagPos_] | bit << items_);
        ++items_;
    }
    std::vector<uint8_t>* out_;
    size_t flagPos_ = 0;
    int items_ = kItemsPerGroup;
};

class Encoder {
  public:
    // Only the match buffer is sized to the input; the other tables grow with what is used:
    // the pending parse is filled in as it reaches new positions, and a tree node is written
    // before it is first read. A small input touches only the memory it needs.
    Encoder(const uint8_t* input, uint32_t size, uint32_t parseWindow, CodeWriter* writer)
        : input_(input),
          end_(kDataStart + size),
          window_(std::min(std::max(parseWindow, 64u), 1u << 24)),
          writer_(writer),
          buffer_(kWindow + std::min(kBlock, kWindow + size) + kPad),
          heads_(kBuckets, kNil),
          children_(new uint32_t[kSlots][2]),
          cost_(new uint64_t[pendingSpan(size)]),
          length_(new uint8_t[pendingSpan(size)]),
          distance_(new uint16_t[pendingSpan(size)]) {
        // History byte k (oldest first) sits at distance 4096 - k before the first output byte,
        // at ring position (4078 + k) & 0xFFF: positions 4078..4095 (zero), then 0..4077.
        std::memset(history_, 0, kRingSize - kRingStart);
        initDictionary(history_ + (kRingSize - kRingStart));
        cost_[0] = 0;
        length_[0] = 0;
        distance_[0] = 0;
    }

    // Parses and writes the whole input; false as soon as `over` says the output is too long.
    template <class Over>
    bool run(Over&& over) {
        for (uint32_t s = kHistoryStart; s < end_; s += kBlock) {
            const uint32_t e = std::min(s + kBlock, end_);
            fill(s - kWindow, e + kPad);
            for (uint32_t a = s; a < e; ++a) {
                uint32_t distance = 0;
                uint32_t found = insert(a, &distance);
                if (a < kDataStart) continue;
                if (end_ - a == 2 && found < 2) found = lastPair(a, &distance);
                if (a >= windowStart_ && a - windowStart_ + kMaxMatch >= window_) {
                    commit(a, true);
                    nextCommit_ = a + kCommitStep;
                    if (over()) return false;
                } else if (a >= nextCommit_ && a >= pendStart_) {
                    commit(a, false);
                    // Where the parses have not met for long, trying again soon would walk
                    // their long chains again for little: the wait grows with the stretch.
                    nextCommit_ = a + std::max(kCommitStep, a - pendStart_);
                    if (over()) return false;
                }
                const uint32_t longest = std::min(found, end_ - a);
                if (a == greedyNext_) greedyNext_ = a + (longest >= kMinMatch ? longest : 1);
                // After a forced commit past a, no parse goes through a any more.
                if (a >= pendStart_) relax(a, found, distance);
            }
        }
        commit(end_, true);
        return !over();
    }

  private:
    // Entries of the pending parse: it spans at most a window (commit() is called before it
    // grows past one) and at most the input, plus the reach of the longest item past its end.
    uint32_t pendingSpan(uint32_t size) const { return std::min(window_, size) + kMaxMatch + 2; }

    // Entries [ready_, k] of the pending parse start out unreached.
    void reach(uint32_t k) {
        for (; ready_ <= k; ++ready_) {
            cost_[ready_] = kUnreached;
            length_[ready_] = 0;
            distance_[ready_] = 0;
        }
    }

    // Copies stream positions [from, to) into the match buffer; zeros stand outside the stream.
    void fill(uint32_t from, uint32_t to) {
        bufferBase_ = from;
        for (uint32_t a = from; a < to; ++a) {
            uint8_t b = 0;
            if (a >= kDataStart && a < end_) {
                const uint32_t span = std::min(to, end_) - a;
                std::memcpy(&buffer_[a - from], input_ + (a - kDataStart), span);
                a += span - 1;
                continue;
            }
            if (a >= kHistoryStart && a < kDataStart) b = history_[a - kHistoryStart];
            buffer_[a - from] = b;
        }
    }

    // Adds position a to its tree and returns the longest match (up to kMaxMatch) among the
    // positions at most a window behind, with its distance in *distance. The trees are binary
    // search trees over the 18-byte strings, newest at the root, each node older than its
    // parent, so a node out of reach ends the search and cuts off everything below it.
    uint32_t insert(uint32_t a, uint32_t* distance) {
        const uint8_t* p = &buffer_[a - bufferBase_];
        uint32_t& head = heads_[bucket(p)];
        uint32_t candidate = head;
        head = a;
        uint32_t* smaller = &children_[a & kSlotMask][0];  // where the next smaller node hangs
        uint32_t* larger = &children_[a & kSlotMask][1];
        uint32_t smallerLength = 0;  // bytes the next smaller node is known to share with a
        uint32_t largerLength = 0;
        uint32_t best = 0;
        for (;;) {
            if (a - candidate > kWindow) {
                *smaller = kNil;
                *larger = kNil;
                break;
            }
            const uint8_t* q = &buffer_[candidate - bufferBase_];
            const uint32_t len = matchLength(p, q, std::min(smallerLength, largerLength));
            if (len > best) {
                best = len;
                *distance = a - candidate;
            }
            uint32_t* const children = children_[candidate & kSlotMask];  // left, right
            if (len == kMaxMatch) {
                // Same string as a, but older: a takes its place in the tree.
                *smaller = children[0];
                *larger = children[1];
                break;
            }
            if (q[len] < p[len]) {
                *smaller = candidate;
                smaller = &children[1];
                candidate = children[1];
                smallerLength = len;
            } else {
                *larger = candidate;
                larger = &children[0];
                candidate = children[0];
                largerLength = len;
            }
        }
        return best;
    }

    // The trees only hold strings that share a hash of three bytes; the last two bytes of the
    // data have no third, so their match is searched for on its own: 2 if some position a
    // window behind holds the same pair, else 0.
    uint32_t lastPair(uint32_t a, uint32_t* distance) const {
        const uint8_t* p = &buffer_[a - bufferBase_];
        for (uint32_t d = 1; d <= kWindow; ++d) {
            const uint8_t* q = p - d;
            if (q[0] == p[0] && q[1] == p[1]) {
                *distance = d;
                return 2;
            }
        }
        return 0;
    }

    // Relaxes the items that start at stream position a, given its longest match.
    void relax(uint32_t a, uint32_t found, uint32_t distance) {
        const uint32_t k = a - pendStart_;
        const uint32_t left = end_ - a;
        uint32_t longest = std::min(found, left);
        // A reference cut short by the end of the data still costs a whole reference; worth it
        // only for the last two bytes, where it beats two literals.
        const uint32_t shortest = left == 2 ? 2 : kMinMatch;
        if (longest < shortest) longest = 0;
        reach(k + kMaxMatch);
        const uint64_t c = cost_[k];
        // On equal cost the later start wins: the candidate parses then share their earlier
        // items sooner, which lets the parser commit them.
        if (c + kLiteralBits <= cost_[k + 1]) {
            cost_[k + 1] = c + kLiteralBits;
            length_[k + 1] = 1;
        }
        distance_[k] = uint16_t(distance);
        for (uint32_t l = shortest; l <= longest; ++l) {
            if (c + kReferenceBits <= cost_[k + l]) {
                cost_[k + l] = c + kReferenceBits;
                length_[k + l] = uint8_t(l);
            }
        }
    }

    // Called when every item starting before stream position p has been relaxed. Each parse
    // still possible passes through a node in [p, p + 17] whose best predecessor is known, so
    // the nodes their predecessor chains share are in every optimal parse: writes the items up
    // to the latest of them and forgets the positions before it. `windowFull`: the pending
    // parse has grown to the window since the last such commit (or the input has ended); only
    // then may the parse be forced, exactly as if no commit had been made in between.
    void commit(uint32_t p, bool windowFull) {
        const uint32_t kp = p - pendStart_;
        uint32_t nodes[kMaxMatch];
        uint32_t count = 0;
        for (uint32_t x = kp; x < kp + kMaxMatch && pendStart_ + x <= end_; ++x)
            if (cost_[x] != kUnreached) nodes[count++] = x;
        uint32_t shared = 0;
        for (;;) {
            const uint32_t* top = std::max_element(nodes, nodes + count);
            const uint32_t* bottom = std::min_element(nodes, nodes + count);
            if (*top == *bottom) {
                shared = *top;
                break;
            }
            const uint32_t latest = *top;
            for (uint32_t i = 0; i < count; ++i)
                if (nodes[i] == latest) nodes[i] = latest - length_[latest];
        }
        bool forced = false;
        if (windowFull && pendStart_ + shared - windowStart_ < window_ / 4 && p != end_) {
            // The candidate parses have not met for a long stretch: keep only the best parse
            // to the node where the greedy parse's next item starts. Each forced node lies on
            // the greedy parse, so the greedy parse stays one of the candidates and the result
            // is never longer than it.
            shared = greedyNext_ - pendStart_;
            forced = true;
        }
        emit(shared);
        // Keep [shared, kp + 18), of what has been filled in (at the end of the input not all
        // of it has); what lies after it is unreached again, and after a forced commit so is
        // every node but the one kept, as the parses that reached them are gone.
        const uint32_t keep = std::min(kp + kMaxMatch, ready_) - shared;
        std::copy(cost_.get() + shared, cost_.get() + shared + keep, cost_.get());
        std::copy(length_.get() + shared, length_.get() + shared + keep, length_.get());
        std::copy(distance_.get() + shared, distance_.get() + shared + keep, distance_.get());
        ready_ = keep;
        if (forced) std::fill(cost_.get() + 1, cost_.get() + keep, kUnreached);
        pendStart_ += shared;
        if (windowFull) windowStart_ = pendStart_;
    }

    // Writes the items of the best parse from pendStart_ to pendStart_ + target.
    void emit(uint32_t target) {
        items_.clear();
        for (uint32_t x = target; x != 0; x -= length_[x])
            items_.push_back(x);
        uint32_t start = 0;
        for (size_t i = items_.size(); i-- > 0;) {
            const uint32_t x = items_[i];
            const uint32_t j = pendStart_ + start - kDataStart;  // input offset of the item
            const uint32_t length = x - start;
            if (length == 1) {
                writer_->literal(input_[j]);
            } else {
                const uint32_t d = distance_[start];
                writer_->reference((kRingStart + j - d) & kRingMask, length);
            }
            start = x;
        }
    }

    const uint8_t* input_;
    uint32_t end_;
    uint32_t window_;
    CodeWriter* writer_;

    uint8_t history_[kWindow];
    std::vector<uint8_t> buffer_;
    uint32_t bufferBase_ = 0;
    std::vector<uint32_t> heads_;
    std::unique_ptr<uint32_t[][2]> children_;  // of the node in each slot: left, right

    // The pending parse, indexed by position - pendStart_: the cheapest cost in bits of
    // reaching each position, the length of the last item on that cheapest way (1 for a
    // literal), and the distance of the longest match found at each position. Entries from
    // ready_ on are not filled in yet. windowStart_ is pendStart_ as of the last commit that
    // could force the parse; the window is counted from there.
    uint32_t pendStart_ = kDataStart;
    uint32_t windowStart_ = kDataStart;
    uint32_t nextCommit_ = kDataStart + kCommitStep;
    uint32_t ready_ = 1;
    uint32_t greedyNext_ = kDataStart;  // where the greedy parse's next item starts
    std::unique_ptr<uint64_t[]> cost_;
    std::unique_ptr<uint8_t[]> length_;
    std::unique_ptr<uint16_t[]> distance_;
    std::vector<uint32_t> items_;
};

}  // namespace

bool encodeFile(const uint8_t* input, uint32_t size, std::vector<uint8_t>* out,
                const EncodeLimits& limits) {
    const size_t base = out->size();
    // Room for the longest file there can be (all literals, 9 bits a byte), up to the limit:
    // the output then never moves while it grows, and only the part written is touched. A
    // vector that already holds other files at least doubles, so that appending many files
    // one after another does not copy them all each time.
    const size_t need =
        base + std::min(size_t(kHeaderSize) + size + size / 8 + 1, limits.maxFileSize);
    if (out->capacity() < need) out->reserve(std::max(need, 2 * out->capacity()));
    out->resize(base + kHeaderSize);
    CodeWriter writer(out);
    Encoder encoder(input, size, limits.parseWindow, &writer);
    if (!encoder.run([&] { return out->size() - base > limits.maxFileSize; })) {
        out->resize(base);
        return false;
    }
    putU32BE(out->data() + base + kCompressedSizeOffset,
             uint32_t(out->size() - base - kHeaderSize));
    putU32BE(out->data() + base + kOriginalSizeOffset, size);
    return true;
}

void encodeFile(const uint8_t* input, uint32_t size, std::vector<uint8_t>* out) {
    encodeFile(input, size, out, EncodeLimits());
}

}  // namespace retrodisk::vkp
