#pragma once
// Realistic records for the benchmarks, the same on every run: site names shared by
// many records with a few popular ones, unique logins, passwords of 8 to 24
// characters, notes with line breaks on some records, all three record types, in a
// random order.

#include "RecordStore.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace benchRecords {

struct Records {
    std::vector<std::vector<FieldValue>> rows;  // NAME, LOGIN, PASSWORD, NOTES, RECTYPE
    std::vector<std::vector<FieldValue>> keys;  // NAME, LOGIN
    std::size_t textBytes = 0;                  // sum of the lengths of the text fields
};

inline const std::string& textOf(const FieldValue& value)
{
    return std::get<std::string>(value);
}

inline std::string letters(std::mt19937_64& random, std::size_t length, const char* alphabet)
{
    const std::size_t size = std::strlen(alphabet);
    std::string text(length, ' ');
    for (char& c : text)
        c = alphabet[random() % size];
    return text;
}

inline std::size_t between(std::mt19937_64& random, std::size_t low, std::size_t high)
{
    return low + random() % (high - low + 1);
}

// A few thousand sites, few of them popular: site k is picked with weight 1/k.
// Memorable information and serial numbers are filed under their fixed key words,
// as the program does. Logins are unique, so every (NAME, LOGIN) key is new.
inline Records makeRecords(int count)
{
    std::mt19937_64 random(20261208u + static_cast<unsigned>(count));
    const char* lower = "abcdefghijklmnopqrstuvwxyz";
    const char* printable = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%&*+-=?@^_~.,;:";
    const std::array<const char*, 6> endings{".com", ".org", ".net", ".co.uk", ".io", ".de"};

    const int siteCount = 4000;
    std::vector<std::string> sites;
    std::vector<double> weights;
    for (int k = 1; k <= siteCount; ++k) {
        std::string site = letters(random, between(random, 4, 14), lower);
        site[0] = static_cast<char>(site[0] - 'a' + 'A');
        if (random() % 3 == 0) {
            site = "www.";
            site += letters(random, between(random, 3, 12), lower);
            site += endings[random() % endings.size()];
        }
        sites.push_back(std::move(site));
        weights.push_back(1.0 / k);
    }
    std::discrete_distribution<int> pickSite(weights.begin(), weights.end());

    Records records;
    records.rows.reserve(static_cast<std::size_t>(count));
    records.keys.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::uint64_t draw = random() % 10;
        const std::int32_t type = draw < 8 ? 0 : draw == 8 ? 1 : 2;
        std::string name = type == 0 ? sites[static_cast<std::size_t>(pickSite(random))]
                                     : std::string(typeKeyNames[static_cast<std::size_t>(type)]);
        // A person's name, then the record's number in base 36, which makes it unique.
        std::string login = letters(random, between(random, 3, 10), lower);
        for (unsigned n = static_cast<unsigned>(i);; n /= 36) {
            login += "0123456789abcdefghijklmnopqrstuvwxyz"[n % 36];
            if (n < 36)
                break;
        }
        if (random() % 4 == 0) {
            login += '@';
            login += letters(random, between(random, 4, 8), lower);
            login += ".com";
        }
        std::string password = letters(random, between(random, 8, 24), printable);
        std::string notes;
        if (random() % 5 == 0) {
            const std::size_t lines = between(random, 1, 4);
            for (std::size_t l = 0; l < lines; ++l) {
                if (l > 0)
                    notes += "\r\n";
                notes += letters(random, between(random, 5, 50), "abcdefghijklmnopqrstuvwxyz    ");
            }
        }
        records.textBytes += name.size() + login.size() + password.size() + notes.size();
        records.keys.push_back({name, login});
        records.rows.push_back({std::move(name), std::move(login), std::move(password), std::move(notes), type});
    }

    // Records arrive in no particular order; rows and keys are shuffled alike.
    std::vector<std::size_t> order(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    Records shuffled;
    shuffled.textBytes = records.textBytes;
    shuffled.rows.reserve(order.size());
    shuffled.keys.reserve(order.size());
    for (std::size_t i : order) {
        shuffled.rows.push_back(std::move(records.rows[i]));
        shuffled.keys.push_back(std::move(records.keys[i]));
    }
    return shuffled;
}

}  // namespace benchRecords
