"""Sphinx settings of kelo's documentation, which `make docs` builds into build/docs.

The pages take their text from the README, part by part, and from the docstrings;
the gallery's pictures are drawn at build time by the scripts in docs/gallery.
"""

import kelo

project = "kelo"
copyright = "the kelo developers"
release = kelo.__version__

extensions = [
    "myst_parser",  # Markdown pages, and the README's parts that they include
    "numpydoc",  # the docstrings' Parameters, Returns, Raises and Examples
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx_gallery.gen_gallery",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
# The gallery's scripts are read by sphinx_gallery, which writes pages of them.
exclude_patterns = ["gallery"]

# A page for each function, written into generated/, which git ignores.
autosummary_generate = True

sphinx_gallery_conf = {
    "examples_dirs": "gallery",
    "gallery_dirs": "generated/gallery",
    "filename_pattern": "/plot_",  # every plot_*.py runs, and its figures become pictures
    "write_computation_times": False,
    "download_all_examples": False,
}

html_theme = "furo"
html_title = f"kelo {release}"
