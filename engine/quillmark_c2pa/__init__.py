"""quillmark's C2PA engine: reads, validates, builds and signs C2PA Manifest Stores for fonts."""
