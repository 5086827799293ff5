#include "auth_state.h"

#include <QPointer>

namespace {
QPointer<AuthState> sharedState;
}

AuthState *AuthState::shared() { return sharedState.data(); }
void AuthState::setShared(AuthState *state) { sharedState = state; }
