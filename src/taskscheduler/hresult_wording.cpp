#include "taskscheduler/hresult_wording.h"

#include <utility>

#include "text/error_text.h"

HresultWording FixedSentence(std::string sentence) {
    return [sentence = std::move(sentence)](std::uint32_t) { return sentence; };
}

HresultWording SentenceWithHresult(std::string sentence) {
    return [sentence = std::move(sentence)](std::uint32_t hresult) { return WithHresult(sentence, hresult); };
}
