// PLACEHOLDER: not written yet.
