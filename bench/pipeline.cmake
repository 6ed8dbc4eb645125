kelvo_add_bench(pipeline_bench LIBS kelvo::kelvo_stereo_bm)
# The back-end is reached through the registry only: keep it linked.
target_link_options(pipeline_bench PRIVATE -Wl,--no-as-needed)
