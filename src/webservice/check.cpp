// Placeholder until this module is written.
