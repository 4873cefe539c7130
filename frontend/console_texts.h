// Every text the tool prints and every exit status it ends with.
#pragma once

#include <string_view>

namespace zibel {

// Exit statuses. Where only the low 8 bits of a status are kept they read as
// 255, 254, 253 and 252.
inline constexpr int kStatusDone = 0;
inline constexpr int kStatusRejected = -1;          // command line refused
inline constexpr int kStatusNotFound = -2;          // target does not exist
inline constexpr int kStatusFailed = -3;            // nothing changed, the edit was not made
inline constexpr int kStatusUpdateIncomplete = -4;  // target may be incomplete; copy kept

// Each row is printed by itself, in this order.
inline constexpr std::string_view kUsageBanner[] = {
    "\n",
    "Zibel - Wendeltext v1.0\n",
    "Written by the Zibel authors\n",
    "\n",
    "Syntax:\n",
    "=======\n",
    "Replace strings inside a text file:\n",
    "   Zibel /rt <Textfile> <old string> <new string>\n",
};

inline constexpr std::string_view kNotFound[] = {"\n", "File not found!\n"};
inline constexpr std::string_view kEmptyOldString[] = {"\n", "Old string must not be empty!\n"};
inline constexpr std::string_view kArgumentTooLong[] = {"\n", "Argument too long!\n"};
inline constexpr std::string_view kArgumentNotRepresentable[] = {"\n",
                                                                 "Argument not representable!\n"};
inline constexpr std::string_view kCannotOpen[] = {"\n", "Cannot open file!\n"};
inline constexpr std::string_view kCannotRead[] = {"\n", "Cannot read file!\n"};
inline constexpr std::string_view kCannotWriteTemporary[] = {"\n",
                                                             "Cannot write temporary file!\n"};
inline constexpr std::string_view kCannotUpdate[] = {"\n", "Cannot update file!\n"};
inline constexpr std::string_view kUpdateIncomplete[] = {"\n", "File update incomplete!\n"};
// Followed by the temporary path and "\n", on the same row.
inline constexpr std::string_view kNewContentKeptIn = "The new content is kept in ";

// The command word, matched ignoring the case of ASCII letters.
inline constexpr std::string_view kCommandWord = "/rt";

}  // namespace zibel
