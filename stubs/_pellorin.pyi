# Type stub for the _pellorin extension module (filled in with the typed API).
