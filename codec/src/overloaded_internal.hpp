// Overloaded: one visitor made of several lambdas, for std::visit over the
// variants of packet kinds (plans, walked parts, decoded values). Give each
// alternative its own lambda rather than a catch-all `auto`: a kind added to
// a variant then fails to compile wherever it is not handled.
#pragma once

namespace vakra {

template <class... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};
// Clang before 17 has no aggregate deduction, so the guide is spelled out.
template <class... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;

}  // namespace vakra
