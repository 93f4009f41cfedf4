"""A Pillow plug-in for JPEG XL over the tessara module (placeholder until the
plug-in itself lands)."""
