// placeholder: filled in by the platform work
