# The guards that keep every call of the core within the sizes and the memory it
# relies on (the core itself checks nothing). They live in a compiled module of
# their own, so that their traceback entries never stand in for the entries of
# the statements that call them: Cython caches such entries by line number.

cdef int require_supported_degree(lmax) except -1
cdef unsigned int core_lmax(unsigned int lmax) except? 0
cdef tuple supported_shape(tuple shape, lmax)
cdef int require_theta_for_every_point(phi, theta) except -1
