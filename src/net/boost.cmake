find_package(Boost REQUIRED COMPONENTS system thread date_time)
target_link_libraries(qvcore PUBLIC Boost::system Boost::thread Boost::date_time)
