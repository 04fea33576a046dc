// greedy_vkpack IN OUT: the classic greedy longest-match encoder, written as the baseline that
// vkpack is measured against. One binary search tree per first byte over the strings at the
// last 4096 positions (the ring's initial contents included); every position is inserted, the
// one leaving the window deleted, and each item takes the longest match at its position: a
// reference when it is 3 bytes or longer, a literal otherwise. Writes a whole VKP file.
#include <cstdio>
#include <vector>

#include <retrodisk/vkp/decoder.h>

namespace {

using retrodisk::vkp::initDictionary;
using retrodisk::vkp::kHeaderSize;
using retrodisk::vkp::kRingMask;
using retrodisk::vkp::kRingSize;
using retrodisk::vkp::kRingStart;

constexpr int kWindow = 4096;
constexpr int kMaxMatch = 18;
constexpr int kMinMatch = 3;
constexpr int kSlots = 2 * kWindow;  // node arrays indexed by position modulo this
constexpr int kNil = -1;

struct Tree {
    const std::vector<uint8_t>& text;  // preset history, then the input, then zero padding
    std::vector<int> root = std::vector<int>(256, kNil);
    std::vector<int> parent = std::vector<int>(kSlots, kNil);
    std::vector<int> left = std::vector<int>(kSlots, kNil);
    std::vector<int> right = std::vector<int>(kSlots, kNil);
    std::vector<bool> inTree = std::vector<bool>(kSlots, false);
    int matchLength = 0;
    int matchPosition = 0;

    static int slot(int position) { return position & (kSlots - 1); }

    void insert(int r) {
        const uint8_t* key = &text[size_t(r)];
        const int s = slot(r);
        left[size_t(s)] = right[size_t(s)] = kNil;
        inTree[size_t(s)] = true;
        matchLength = 0;
        int p = root[key[0]];
        if (p == kNil) {
            root[key[0]] = r;
            parent[size_t(s)] = kNil;
            return;
        }
        for (;;) {
            const uint8_t* node = &text[size_t(p)];
            int i = 1;
            int cmp = 0;
            for (; i < kMaxMatch; ++i) {
                cmp = int(key[i]) - int(node[i]);
                if (cmp != 0) break;
            }
            if (i > matchLength) {
                matchLength = i;
                matchPosition = p;
            }
            const size_t ps = size_t(slot(p));
            if (i >= kMaxMatch) {
                // Same string, older position: r replaces p in the tree.
                parent[size_t(s)] = parent[ps];
                left[size_t(s)] = left[ps];
                right[size_t(s)] = right[ps];
                if (left[ps] != kNil) parent[size_t(slot(left[ps]))] = r;
                if (right[ps] != kNil) parent[size_t(slot(right[ps]))] = r;
                replaceChild(p, r, key[0]);
                inTree[ps] = false;
                return;
            }
            std::vector<int>& next = cmp >= 0 ? right : left;
            if (next[ps] == kNil) {
                next[ps] = r;
                parent[size_t(s)] = p;
                return;
            }
            p = next[ps];
        }
    }

    // Makes whatever pointed at p (its parent or the root) point at q.
    void replaceChild(int p, int q, uint8_t first) {
        const int up = parent[size_t(slot(p))];
        if (up == kNil) {
            root[first] = q;
        } else {
            const size_t us = size_t(slot(up));
            if (left[us] == p)
                left[us] = q;
            else
                right[us] = q;
        }
    }

    void remove(int p) {
        const size_t ps = size_t(slot(p));
        if (!inTree[ps]) return;
        inTree[ps] = false;
        const uint8_t first = text[size_t(p)];
        int q;
        if (left[ps] == kNil) {
            q = right[ps];
        } else if (right[ps] == kNil) {
            q = left[ps];
        } else {
            // Replace p by its in-order predecessor, the rightmost node of its left subtree.
            q = left[ps];
            if (right[size_t(slot(q))] != kNil) {
                while (right[size_t(slot(q))] != kNil)
                    q = right[size_t(slot(q))];
                const size_t qs = size_t(slot(q));
                const int qParent = parent[qs];
                right[size_t(slot(qParent))] = left[qs];
                if (left[qs] != kNil) parent[size_t(slot(left[qs]))] = qParent;
                left[qs] = left[ps];
                parent[size_t(slot(left[ps]))] = q;
            }
            const size_t qs = size_t(slot(q));
            right[qs] = right[ps];
            parent[size_t(slot(right[ps]))] = q;
        }
        if (q != kNil) parent[size_t(slot(q))] = parent[ps];
        replaceChild(p, q, first);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("Usage: greedy_vkpack IN OUT\n", stderr);
        return 1;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr) return 1;
    uint8_t ring[kRingSize] = {};
    initDictionary(ring);
    std::vector<uint8_t> text;
    for (uint32_t k = 0; k < kRingSize; ++k)
        text.push_back(ring[(kRingStart + k) & kRingMask]);
    std::vector<uint8_t> chunk(1 << 16);
    size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), in)) > 0)
        text.insert(text.end(), chunk.begin(), chunk.begin() + long(got));
    std::fclose(in);
    const int end = int(text.size());
    text.resize(text.size() + kMaxMatch);

    std::vector<uint8_t> out(kHeaderSize);
    size_t flagPos = 0;
    int items = 8;
    auto flag = [&](int bit) {
        if (items == 8) {
            flagPos = out.size();
            out.push_back(0);
            items = 0;
        }
        out[flagPos] = uint8_t(out[flagPos] | bit << items);
        ++items;
    };

    Tree tree{text};
    auto advance = [&](int r) {
        if (r - kWindow - 1 >= 0) tree.remove(r - kWindow - 1);
        tree.insert(r);
    };
    for (int r = 0; r < kWindow; ++r)
        advance(r);
    if (kWindow < end) advance(kWindow);  // the match for the first input byte
    for (int r = kWindow; r < end;) {
        int length = tree.matchLength;
        if (length > end - r) length = end - r;
        if (length < kMinMatch) {
            flag(1);
            out.push_back(text[size_t(r)]);
            length = 1;
        } else {
            flag(0);
            const uint32_t j = uint32_t(r - kWindow);
            const uint32_t position =
                (kRingStart + j - uint32_t(r - tree.matchPosition)) & kRingMask;
            out.push_back(uint8_t(position));
            out.push_back(uint8_t((position >> 4 & 0xF0) | uint32_t(length - kMinMatch)));
        }
        for (int k = 0; k < length; ++k)
            if (r + k + 1 < end) advance(r + k + 1);
        r += length;
    }
    const uint32_t sizes[2] = {uint32_t(out.size() - kHeaderSize), uint32_t(end - kWindow)};
    for (int f = 0; f < 2; ++f)
        for (int k = 0; k < 4; ++k)
            out[size_t(4) * size_t(f) + size_t(k)] = uint8_t(sizes[f] >> (24 - 8 * k));
    std::FILE* o = std::fopen(argv[2], "wb");
    if (o == nullptr) return 1;
    const bool ok = std::fwrite(out.data(), 1, out.size(), o) == out.size();
    return std::fclose(o) == 0 && ok ? 0 : 1;
}
