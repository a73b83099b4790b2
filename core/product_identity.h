#pragma once
// Which product this launcher serves: the embedded product text wins; without it, the launcher's
// own file name, lower-cased and without its extension.
#include <optional>
#include <string>

std::u16string DetermineProduct();

// The portable rule over the platform's answers (module path and embedded text); logs which
// source was used.
std::u16string DetermineProductFrom(const std::u16string& modulePath,
                                    const std::optional<std::u16string>& embeddedText);
// The file-name rule alone: the last extension removed, A-Z lowered; empty when no name results.
std::u16string ProductFromModulePath(const std::u16string& modulePath);

// Platform answers.
std::u16string OwnModulePath();
std::optional<std::u16string> EmbeddedProductText();
