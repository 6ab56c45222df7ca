"""Joint optimisers: searches over pipelines of preprocessing and regression stages."""
