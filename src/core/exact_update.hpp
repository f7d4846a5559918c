// Exact incremental updates: a batch of interactions folded into a computed
// model so that every field equals what a full computation on all the
// interactions gives, at a cost that grows with what the batch touches.
//
// Precondition: the model's similarity state is that of a full computation on
// its stored matrices (after compute_similarities / compute_swing, an exact
// update, or a load of such a model; not after the engine's approximate
// updates), and the two stored matrices hold the same interactions. A model
// that was never computed gets a full computation. The caller grows n_users /
// n_items and sets user_consumed first, as for the engine's own updates.
//
// Failure: every check and every computation happens before the model is
// touched; the result is then committed with moves and in-place writes that
// cannot fail (on the pool, in loops that always run to their end). An
// error, a failed allocation or an interrupt leaves the model as it was.
// Nothing is printed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/models.hpp"

namespace quibrel {

enum class ExactRoute : std::uint8_t {
    Auto,         // choose by estimated cost
    Incremental,  // recompute only what the batch touches (unless impossible)
    Full,         // a full computation on the merged matrices
};

struct ExactReport {
    ExactRoute route;      // Incremental or Full: what was done
    std::size_t affected;  // entities (cosine) or items (Swing) recomputed
};

// The batch: new_users (rows = users, columns = items) and new_items (its
// transpose) must hold the same cells; a value replaces the stored value of
// the same (user, item). Rows beyond n_users / n_items raise the merge's
// index panic, columns beyond them the same panic, negative ones ValueFailure,
// two matrices that disagree ValueFailure.
ExactReport exact_update_cosine(CfModel& m, Orientation o, const CsrMatrix& new_users,
                                const CsrMatrix& new_items, ExactRoute route = ExactRoute::Auto);

ExactReport exact_update_swing(SwingModel& m, const CsrMatrix& new_users,
                               const CsrMatrix& new_items, ExactRoute route = ExactRoute::Auto);

}  // namespace quibrel
