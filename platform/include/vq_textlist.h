/*
 * vq_textlist.h - the one reader (and writer) of the text-list layout as
 * items hold it, without the type word: the WORD entry count, one WORD
 * length per entry, then the texts packed without terminators (lists.cpp).
 * The list calls of vq_runtime.h, the item calls, the mail half and the
 * operator library all read lists through it.
 */
#ifndef VQ_TEXTLIST_H
#define VQ_TEXTLIST_H

#include <string>
#include <string_view>
#include <vector>

namespace vq {

/* The entries of a list value, viewing into it. False for a damaged
 * value: one shorter than its count word (an empty value too: a list
 * always carries its count, the empty list is the count 0), or lengths
 * that run past its end; *entries then holds the entries before the
 * damage. */
bool ParseTextList(std::string_view value, std::vector<std::string_view> *entries);
/* The value of a list of these entries (each at most 65535 bytes). */
std::string BuildTextList(const std::vector<std::string_view> &entries);

}  // namespace vq

#endif /* VQ_TEXTLIST_H */
