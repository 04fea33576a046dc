#include "chain.h"

#include <algorithm>
#include <cstdio>

namespace retrodisk::fs {

namespace {

std::string unitText(const char* unitName, int64_t unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %lld", unitName, static_cast<long long>(unit));
    return text;
}

}  // namespace

Chain followChain(int64_t first, int64_t count, const std::function<Unit(int64_t)>& table,
                  const char* unitName) {
    Chain chain;
    if (count <= 0) {
        chain.fault = ProblemKind::kPastDisk;
        chain.detail = "the disk has no " + std::string(unitName) + "s";
        return chain;
    }
    std::vector<bool> seen(size_t(count), false);
    int64_t unit = first;
    int64_t previous = -1;
    // Each step adds a unit never seen before, so the walk ends within `count` steps.
    for (;;) {
        if (unit < 0 || unit >= count) {
            chain.fault = ProblemKind::kPastDisk;
            chain.detail =
                (previous < 0 ? std::string("the entry") : unitText(unitName, previous)) +
                " names " + unitText(unitName, unit) + ", past the last (" +
                std::to_string(count - 1) + ")";
            return chain;
        }
        if (seen[size_t(unit)]) {
            chain.fault = ProblemKind::kLoop;
            chain.detail =
                unitText(unitName, previous) + " leads back to " + unitText(unitName, unit);
            return chain;
        }
        const Unit u = table(unit);
        if (u.state == Unit::kFree || u.state == Unit::kReserved || u.state == Unit::kBad) {
            chain.fault =
                u.state == Unit::kFree ? ProblemKind::kFreeInChain : ProblemKind::kReservedInChain;
            chain.detail = unitText(unitName, unit) + " in the chain is marked " +
                           (u.state == Unit::kFree       ? "free"
                            : u.state == Unit::kReserved ? "reserved"
                                                         : "bad");
            return chain;
        }
        seen[size_t(unit)] = true;
        chain.units.push_back(unit);
        if (u.state == Unit::kLast) {
            chain.complete = true;
            chain.lastUsed = u.used;
            return chain;
        }
        previous = unit;
        unit = u.next;
    }
}

void checkChains(const std::vector<ChainOwner>& owners, int64_t count,
                 const std::function<Unit(int64_t)>& table, std::vector<Problem>* problems,
                 const char* unitName) {
    if (count <= 0) return;
    // The owner of each unit, by index into owners; -1: none yet.
    std::vector<int64_t> owner(size_t(count), -1);
    for (size_t i = 0; i < owners.size(); ++i) {
        if (owners[i].chain == nullptr) continue;
        std::vector<int64_t> shared;
        int64_t with = -1;
        for (const int64_t u : owners[i].chain->units) {
            if (u < 0 || u >= count) continue;
            if (owner[size_t(u)] >= 0 && owner[size_t(u)] != int64_t(i)) {
                if (with < 0) with = owner[size_t(u)];
                shared.push_back(u);
                continue;
            }
            owner[size_t(u)] = int64_t(i);
        }
        if (shared.empty()) continue;
        Problem p;
        p.kind = ProblemKind::kShared;
        p.path = owners[i].path;
        p.detail = std::to_string(shared.size()) + " " + unitName +
                   (shared.size() == 1 ? "" : "s") + " (first " + std::to_string(shared.front()) +
                   ") also in the chain of " + joinPath(owners[size_t(with)].path);
        problems->push_back(p);
    }
    std::vector<int64_t> lost;
    for (int64_t u = 0; u < count; ++u) {
        if (owner[size_t(u)] >= 0) continue;
        const Unit::State s = table(u).state;
        if (s == Unit::kNext || s == Unit::kLast) lost.push_back(u);
    }
    if (lost.empty()) return;
    Problem p;
    p.kind = ProblemKind::kLostUnits;
    p.area = "FAT";
    p.detail = std::to_string(lost.size()) + " " + unitName + (lost.size() == 1 ? "" : "s") +
               " marked in use that no file reaches (first " + std::to_string(lost.front()) + ")";
    problems->push_back(p);
}

std::string joinPath(const std::vector<std::string>& path) {
    std::string out;
    for (size_t i = 0; i < path.size(); ++i) {
        if (i > 0) out += '/';
        out += path[i];
    }
    return out;
}

std::string trimRight(const std::string& field, char pad) {
    size_t end = field.size();
    while (end > 0 && field[end - 1] == pad)
        --end;
    return field.substr(0, end);
}

int32_t fromBcd(uint8_t b) {
    if ((b >> 4) > 9 || (b & 15) > 9) return -1;
    return int32_t((b >> 4) * 10 + (b & 15));
}

}  // namespace retrodisk::fs
