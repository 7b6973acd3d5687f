# The objects as a page creates and uses them.
tallyfold_add_jstest(NAME js_frame_objects SCRIPT frame_objects.js LABELS lock)
